#ifndef FLUTTER_LINUX_FL_STANDARD_METHOD_CODEC_H_
#define FLUTTER_LINUX_FL_STANDARD_METHOD_CODEC_H_

#include <flutter_linux/fl_method_codec.h>

G_BEGIN_DECLS

G_DECLARE_FINAL_TYPE(FlStandardMethodCodec, fl_standard_method_codec, FL, STANDARD_METHOD_CODEC,
                     FlMethodCodec)

FlStandardMethodCodec* fl_standard_method_codec_new();

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_STANDARD_METHOD_CODEC_H_
