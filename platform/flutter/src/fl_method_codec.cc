#include "flutter_linux/fl_method_codec.h"

#include "flutter_linux/fl_standard_method_codec.h"

// Values travel between the host and the Dart side as FlValue trees (in process) or JSON lines
// (the socket), so the codecs carry no encoder of their own: they name the wire format only.

G_DEFINE_ABSTRACT_TYPE(FlMethodCodec, fl_method_codec, G_TYPE_OBJECT)

static void fl_method_codec_class_init(FlMethodCodecClass*) {}

static void fl_method_codec_init(FlMethodCodec*) {}

struct _FlStandardMethodCodec {
  FlMethodCodec parent_instance;
};

G_DEFINE_TYPE(FlStandardMethodCodec, fl_standard_method_codec, fl_method_codec_get_type())

static void fl_standard_method_codec_class_init(FlStandardMethodCodecClass*) {}

static void fl_standard_method_codec_init(FlStandardMethodCodec*) {}

FlStandardMethodCodec* fl_standard_method_codec_new() {
  return FL_STANDARD_METHOD_CODEC(g_object_new(fl_standard_method_codec_get_type(), nullptr));
}
