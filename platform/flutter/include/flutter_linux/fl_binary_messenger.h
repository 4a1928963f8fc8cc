#ifndef FLUTTER_LINUX_FL_BINARY_MESSENGER_H_
#define FLUTTER_LINUX_FL_BINARY_MESSENGER_H_

#include <glib-object.h>

G_BEGIN_DECLS

// Carries messages between the host and the Dart side of one engine. It may outlive its engine;
// messages sent after that are dropped.
G_DECLARE_FINAL_TYPE(FlBinaryMessenger, fl_binary_messenger, FL, BINARY_MESSENGER, GObject)

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_BINARY_MESSENGER_H_
