// Internal glue between the stand-in embedder's objects. Not installed with the public headers.
#ifndef PLATFORM_FLUTTER_SRC_FL_PRIVATE_H_
#define PLATFORM_FLUTTER_SRC_FL_PRIVATE_H_

#include <json-glib/json-glib.h>

#include <functional>

#include "flutter_linux/flutter_linux.h"

// Messenger ------------------------------------------------------------------------------------

FlBinaryMessenger* fl_binary_messenger_new(FlEngine* engine);
// The engine is going away: later traffic is dropped.
void fl_binary_messenger_detach_engine(FlBinaryMessenger* messenger);
// The messenger's engine, or null once it is gone. Borrowed.
FlEngine* fl_binary_messenger_get_engine(FlBinaryMessenger* messenger);
void fl_binary_messenger_add_channel(FlBinaryMessenger* messenger, const gchar* name,
                                     FlMethodChannel* channel);
void fl_binary_messenger_remove_channel(FlBinaryMessenger* messenger, const gchar* name,
                                        FlMethodChannel* channel);
// Hands a call from the Dart side to the channel of that name, or answers it as not implemented.
void fl_binary_messenger_dispatch_call(FlBinaryMessenger* messenger, const gchar* channel,
                                       FlMethodCall* method_call);

// Method calls ---------------------------------------------------------------------------------

// Receives the one response of a call. Does not take over `response`.
typedef void (*FlMethodCallReplyFunc)(FlMethodResponse* response, gpointer user_data);

// A call whose response goes to `reply`. A null `reply` is a caller that can no longer be reached:
// responding then fails.
FlMethodCall* fl_method_call_new(const gchar* name, FlValue* args, FlMethodCallReplyFunc reply,
                                 gpointer reply_data, GDestroyNotify reply_destroy);

void fl_method_channel_handle_call(FlMethodChannel* channel, FlMethodCall* method_call);

// Engine ---------------------------------------------------------------------------------------

FlEngine* fl_engine_new(FlDartProject* project);
// Sends one event line to the Dart side, when there is one. Takes over `event`.
void fl_engine_send_event(FlEngine* engine, JsonNode* event);
void fl_engine_send_call_to_dart(FlEngine* engine, const gchar* channel, const gchar* method,
                                 FlValue* args);
// Sees every call the host makes on the Dart side (in-process tests). An empty function stops it.
using DartCallObserver =
    std::function<void(const gchar* channel, const gchar* method, FlValue* args)>;
void fl_engine_set_dart_call_observer(FlEngine* engine, DartCallObserver observer);

// Registrar ------------------------------------------------------------------------------------

FlPluginRegistrar* fl_plugin_registrar_new(FlView* view, FlBinaryMessenger* messenger,
                                           const gchar* plugin_name);

#endif  // PLATFORM_FLUTTER_SRC_FL_PRIVATE_H_
