#include "json_values.h"

namespace flutter_standin {

namespace {

JsonNode* JsonFromList(FlValue* value) {
  JsonArray* array = json_array_new();
  for (size_t i = 0; i < fl_value_get_length(value); ++i) {
    json_array_add_element(array, JsonFromValue(fl_value_get_list_value(value, i)));
  }
  JsonNode* node = json_node_init_array(json_node_alloc(), array);
  json_array_unref(array);
  return node;
}

JsonNode* JsonFromMap(FlValue* value) {
  JsonObject* object = json_object_new();
  for (size_t i = 0; i < fl_value_get_length(value); ++i) {
    FlValue* key = fl_value_get_map_key(value, i);
    g_autoptr(JsonNode) key_node = JsonFromValue(key);
    g_autofree gchar* key_text = fl_value_get_type(key) == FL_VALUE_TYPE_STRING
                                     ? g_strdup(fl_value_get_string(key))
                                     : json_to_string(key_node, FALSE);
    json_object_set_member(object, key_text, JsonFromValue(fl_value_get_map_value(value, i)));
  }
  JsonNode* node = json_node_init_object(json_node_alloc(), object);
  json_object_unref(object);
  return node;
}

FlValue* ValueFromArray(JsonArray* array) {
  FlValue* list = fl_value_new_list();
  for (guint i = 0; i < json_array_get_length(array); ++i) {
    fl_value_append_take(list, ValueFromJson(json_array_get_element(array, i)));
  }
  return list;
}

FlValue* ValueFromObject(JsonObject* object) {
  FlValue* map = fl_value_new_map();
  JsonObjectIter iter;
  // In the order the members were written, so maps keep their order across the socket.
  json_object_iter_init_ordered(&iter, object);
  const gchar* key;
  JsonNode* member;
  while (json_object_iter_next_ordered(&iter, &key, &member)) {
    fl_value_set_string_take(map, key, ValueFromJson(member));
  }
  return map;
}

FlValue* ValueFromScalar(JsonNode* node) {
  GType type = json_node_get_value_type(node);
  if (type == G_TYPE_BOOLEAN) return fl_value_new_bool(json_node_get_boolean(node));
  if (type == G_TYPE_INT64) return fl_value_new_int(json_node_get_int(node));
  if (type == G_TYPE_DOUBLE) return fl_value_new_float(json_node_get_double(node));
  return fl_value_new_string(json_node_get_string(node));
}

}  // namespace

JsonNode* JsonFromValue(FlValue* value) {
  if (value == nullptr) return json_node_new(JSON_NODE_NULL);
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_NULL:
      return json_node_new(JSON_NODE_NULL);
    case FL_VALUE_TYPE_BOOL:
      return json_node_init_boolean(json_node_alloc(), fl_value_get_bool(value));
    case FL_VALUE_TYPE_INT:
      return json_node_init_int(json_node_alloc(), fl_value_get_int(value));
    case FL_VALUE_TYPE_FLOAT:
      return json_node_init_double(json_node_alloc(), fl_value_get_float(value));
    case FL_VALUE_TYPE_STRING:
      return JsonString(fl_value_get_string(value));
    case FL_VALUE_TYPE_LIST:
      return JsonFromList(value);
    case FL_VALUE_TYPE_MAP:
      return JsonFromMap(value);
  }
  return json_node_new(JSON_NODE_NULL);
}

FlValue* ValueFromJson(JsonNode* node) {
  switch (json_node_get_node_type(node)) {
    case JSON_NODE_OBJECT:
      return ValueFromObject(json_node_get_object(node));
    case JSON_NODE_ARRAY:
      return ValueFromArray(json_node_get_array(node));
    case JSON_NODE_VALUE:
      return ValueFromScalar(node);
    case JSON_NODE_NULL:
      break;
  }
  return fl_value_new_null();
}

JsonNode* JsonFromResponse(FlMethodResponse* response) {
  JsonObject* object = json_object_new();
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    json_object_set_member(
        object, "success",
        JsonFromValue(fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response))));
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* error = FL_METHOD_ERROR_RESPONSE(response);
    JsonObject* details = json_object_new();
    json_object_set_member(details, "code", JsonString(fl_method_error_response_get_code(error)));
    const gchar* message = fl_method_error_response_get_message(error);
    json_object_set_member(details, "message",
                           message ? JsonString(message) : json_node_new(JSON_NODE_NULL));
    json_object_set_member(details, "details",
                           JsonFromValue(fl_method_error_response_get_details(error)));
    json_object_set_object_member(object, "error", details);
  } else {
    json_object_set_boolean_member(object, "not_implemented", TRUE);
  }
  JsonNode* node = json_node_init_object(json_node_alloc(), object);
  json_object_unref(object);
  return node;
}

JsonNode* MakeEvent(const char* name,
                    std::initializer_list<std::pair<const char*, JsonNode*>> members) {
  JsonObject* object = json_object_new();
  json_object_set_string_member(object, "event", name);
  for (const auto& [key, node] : members) json_object_set_member(object, key, node);
  JsonNode* event = json_node_init_object(json_node_alloc(), object);
  json_object_unref(object);
  return event;
}

JsonNode* JsonString(const char* text) { return json_node_init_string(json_node_alloc(), text); }

}  // namespace flutter_standin
