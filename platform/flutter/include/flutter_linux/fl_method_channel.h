#ifndef FLUTTER_LINUX_FL_METHOD_CHANNEL_H_
#define FLUTTER_LINUX_FL_METHOD_CHANNEL_H_

#include <flutter_linux/fl_binary_messenger.h>
#include <flutter_linux/fl_method_call.h>
#include <flutter_linux/fl_method_codec.h>
#include <flutter_linux/fl_method_response.h>
#include <flutter_linux/fl_value.h>
#include <gio/gio.h>

G_BEGIN_DECLS

G_DECLARE_FINAL_TYPE(FlMethodChannel, fl_method_channel, FL, METHOD_CHANNEL, GObject)

typedef void (*FlMethodChannelMethodCallHandler)(FlMethodChannel* channel,
                                                 FlMethodCall* method_call, gpointer user_data);

// Keeps references to `messenger` and `codec`.
FlMethodChannel* fl_method_channel_new(FlBinaryMessenger* messenger, const gchar* name,
                                       FlMethodCodec* codec);

void fl_method_channel_set_method_call_handler(FlMethodChannel* channel,
                                               FlMethodChannelMethodCallHandler handler,
                                               gpointer user_data, GDestroyNotify destroy_notify);

// Calls `method` on the Dart side. `args` is not taken over.
void fl_method_channel_invoke_method(FlMethodChannel* channel, const gchar* method, FlValue* args,
                                     GCancellable* cancellable, GAsyncReadyCallback callback,
                                     gpointer user_data);

FlMethodResponse* fl_method_channel_invoke_method_finish(FlMethodChannel* channel,
                                                         GAsyncResult* result, GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_CHANNEL_H_
