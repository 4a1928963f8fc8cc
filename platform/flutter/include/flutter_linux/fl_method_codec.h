#ifndef FLUTTER_LINUX_FL_METHOD_CODEC_H_
#define FLUTTER_LINUX_FL_METHOD_CODEC_H_

#include <glib-object.h>

G_BEGIN_DECLS

G_DECLARE_DERIVABLE_TYPE(FlMethodCodec, fl_method_codec, FL, METHOD_CODEC, GObject)

// Base class of the codecs that carry method calls between the host and Dart.
struct _FlMethodCodecClass {
  GObjectClass parent_class;
};

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_CODEC_H_
