// Conversions between method-channel values and the JSON forms the Dart-side socket speaks.
#ifndef PLATFORM_FLUTTER_SRC_JSON_VALUES_H_
#define PLATFORM_FLUTTER_SRC_JSON_VALUES_H_

#include <json-glib/json-glib.h>

#include <initializer_list>
#include <utility>

#include "flutter_linux/flutter_linux.h"

namespace flutter_standin {

// A null value gives a JSON null. Map keys that are not strings are written as their JSON text.
JsonNode* JsonFromValue(FlValue* value);
// Numbers without a fraction or exponent become ints, all others floats. Returns a new reference.
FlValue* ValueFromJson(JsonNode* node);
// {"success":V}, {"error":{"code","message","details"}} or {"not_implemented":true}.
JsonNode* JsonFromResponse(FlMethodResponse* response);
// {"event":NAME, ...members}; takes over the member nodes.
JsonNode* MakeEvent(const char* name,
                    std::initializer_list<std::pair<const char*, JsonNode*>> members = {});
JsonNode* JsonString(const char* text);

}  // namespace flutter_standin

#endif  // PLATFORM_FLUTTER_SRC_JSON_VALUES_H_
