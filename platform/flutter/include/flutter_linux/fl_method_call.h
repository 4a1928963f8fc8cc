#ifndef FLUTTER_LINUX_FL_METHOD_CALL_H_
#define FLUTTER_LINUX_FL_METHOD_CALL_H_

#include <flutter_linux/fl_method_response.h>
#include <flutter_linux/fl_value.h>
#include <glib-object.h>

G_BEGIN_DECLS

// A method call from the Dart side. It takes exactly one response.
G_DECLARE_FINAL_TYPE(FlMethodCall, fl_method_call, FL, METHOD_CALL, GObject)

const gchar* fl_method_call_get_name(FlMethodCall* method_call);
FlValue* fl_method_call_get_args(FlMethodCall* method_call);

// Sends `response` to the caller. Fails when the call already has a response or the caller can
// no longer be reached. Does not take over `response`.
gboolean fl_method_call_respond(FlMethodCall* method_call, FlMethodResponse* response,
                                GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_CALL_H_
