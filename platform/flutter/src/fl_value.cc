#include "flutter_linux/fl_value.h"

#include <cstring>

struct _FlValue {
  FlValueType type;
  gint ref_count;
  union {
    bool bool_value;
    int64_t int_value;
    double float_value;
    gchar* string_value;
    GPtrArray* list;  // FlValue*, owned.
    struct {
      GPtrArray* keys;    // FlValue*, owned; the same length as `values`.
      GPtrArray* values;  // FlValue*, owned.
    } map;
  };
};

namespace {

FlValue* NewValue(FlValueType type) {
  FlValue* value = g_new0(FlValue, 1);
  value->type = type;
  value->ref_count = 1;
  return value;
}

GPtrArray* NewValueArray() {
  return g_ptr_array_new_with_free_func(reinterpret_cast<GDestroyNotify>(fl_value_unref));
}

// Index of `key` among the map's keys, or -1.
gssize FindKey(FlValue* map, FlValue* key) {
  for (guint i = 0; i < map->map.keys->len; ++i) {
    if (fl_value_equal(static_cast<FlValue*>(g_ptr_array_index(map->map.keys, i)), key)) {
      return i;
    }
  }
  return -1;
}

}  // namespace

FlValue* fl_value_new_null() { return NewValue(FL_VALUE_TYPE_NULL); }

FlValue* fl_value_new_bool(bool value) {
  FlValue* result = NewValue(FL_VALUE_TYPE_BOOL);
  result->bool_value = value;
  return result;
}

FlValue* fl_value_new_int(int64_t value) {
  FlValue* result = NewValue(FL_VALUE_TYPE_INT);
  result->int_value = value;
  return result;
}

FlValue* fl_value_new_float(double value) {
  FlValue* result = NewValue(FL_VALUE_TYPE_FLOAT);
  result->float_value = value;
  return result;
}

FlValue* fl_value_new_string(const gchar* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  FlValue* result = NewValue(FL_VALUE_TYPE_STRING);
  result->string_value = g_strdup(value);
  return result;
}

FlValue* fl_value_new_list() {
  FlValue* result = NewValue(FL_VALUE_TYPE_LIST);
  result->list = NewValueArray();
  return result;
}

FlValue* fl_value_new_map() {
  FlValue* result = NewValue(FL_VALUE_TYPE_MAP);
  result->map.keys = NewValueArray();
  result->map.values = NewValueArray();
  return result;
}

FlValue* fl_value_ref(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_atomic_int_inc(&value->ref_count);
  return value;
}

void fl_value_unref(FlValue* value) {
  g_return_if_fail(value != nullptr);
  if (!g_atomic_int_dec_and_test(&value->ref_count)) return;
  switch (value->type) {
    case FL_VALUE_TYPE_STRING:
      g_free(value->string_value);
      break;
    case FL_VALUE_TYPE_LIST:
      g_ptr_array_unref(value->list);
      break;
    case FL_VALUE_TYPE_MAP:
      g_ptr_array_unref(value->map.keys);
      g_ptr_array_unref(value->map.values);
      break;
    default:
      break;
  }
  g_free(value);
}

FlValueType fl_value_get_type(FlValue* value) {
  g_return_val_if_fail(value != nullptr, FL_VALUE_TYPE_NULL);
  return value->type;
}

bool fl_value_equal(FlValue* a, FlValue* b) {
  g_return_val_if_fail(a != nullptr && b != nullptr, false);
  if (a->type != b->type) return false;
  switch (a->type) {
    case FL_VALUE_TYPE_NULL:
      return true;
    case FL_VALUE_TYPE_BOOL:
      return a->bool_value == b->bool_value;
    case FL_VALUE_TYPE_INT:
      return a->int_value == b->int_value;
    case FL_VALUE_TYPE_FLOAT:
      return a->float_value == b->float_value;
    case FL_VALUE_TYPE_STRING:
      return strcmp(a->string_value, b->string_value) == 0;
    case FL_VALUE_TYPE_LIST:
      if (a->list->len != b->list->len) return false;
      for (guint i = 0; i < a->list->len; ++i) {
        if (!fl_value_equal(fl_value_get_list_value(a, i), fl_value_get_list_value(b, i))) {
          return false;
        }
      }
      return true;
    case FL_VALUE_TYPE_MAP:
      if (a->map.keys->len != b->map.keys->len) return false;
      for (guint i = 0; i < a->map.keys->len; ++i) {
        FlValue* other = fl_value_lookup(b, fl_value_get_map_key(a, i));
        if (other == nullptr || !fl_value_equal(fl_value_get_map_value(a, i), other)) return false;
      }
      return true;
  }
  return false;
}

void fl_value_append(FlValue* value, FlValue* child) {
  g_return_if_fail(child != nullptr);
  fl_value_append_take(value, fl_value_ref(child));
}

void fl_value_append_take(FlValue* value, FlValue* child) {
  g_return_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_LIST);
  g_return_if_fail(child != nullptr);
  g_ptr_array_add(value->list, child);
}

void fl_value_set(FlValue* value, FlValue* key, FlValue* child_value) {
  g_return_if_fail(key != nullptr && child_value != nullptr);
  fl_value_set_take(value, fl_value_ref(key), fl_value_ref(child_value));
}

void fl_value_set_take(FlValue* value, FlValue* key, FlValue* child_value) {
  g_return_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_MAP);
  g_return_if_fail(key != nullptr && child_value != nullptr);
  gssize index = FindKey(value, key);
  if (index < 0) {
    g_ptr_array_add(value->map.keys, key);
    g_ptr_array_add(value->map.values, child_value);
    return;
  }
  // A key that is already present keeps its place; only its value changes.
  fl_value_unref(key);
  fl_value_unref(static_cast<FlValue*>(g_ptr_array_index(value->map.values, index)));
  g_ptr_array_index(value->map.values, index) = child_value;
}

void fl_value_set_string(FlValue* value, const gchar* key, FlValue* child_value) {
  g_return_if_fail(child_value != nullptr);
  fl_value_set_take(value, fl_value_new_string(key), fl_value_ref(child_value));
}

void fl_value_set_string_take(FlValue* value, const gchar* key, FlValue* child_value) {
  fl_value_set_take(value, fl_value_new_string(key), child_value);
}

bool fl_value_get_bool(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_BOOL, false);
  return value->bool_value;
}

int64_t fl_value_get_int(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_INT, 0);
  return value->int_value;
}

double fl_value_get_float(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_FLOAT, 0.0);
  return value->float_value;
}

const gchar* fl_value_get_string(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_STRING, nullptr);
  return value->string_value;
}

size_t fl_value_get_length(FlValue* value) {
  g_return_val_if_fail(value != nullptr, 0);
  switch (value->type) {
    case FL_VALUE_TYPE_LIST:
      return value->list->len;
    case FL_VALUE_TYPE_MAP:
      return value->map.keys->len;
    default:
      return 0;
  }
}

FlValue* fl_value_get_list_value(FlValue* value, size_t index) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_LIST, nullptr);
  g_return_val_if_fail(index < value->list->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(value->list, index));
}

FlValue* fl_value_get_map_key(FlValue* value, size_t index) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(index < value->map.keys->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(value->map.keys, index));
}

FlValue* fl_value_get_map_value(FlValue* value, size_t index) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(index < value->map.values->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(value->map.values, index));
}

FlValue* fl_value_lookup(FlValue* value, FlValue* key) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(key != nullptr, nullptr);
  gssize index = FindKey(value, key);
  return index < 0 ? nullptr : fl_value_get_map_value(value, index);
}

FlValue* fl_value_lookup_string(FlValue* value, const gchar* key) {
  g_return_val_if_fail(key != nullptr, nullptr);
  g_autoptr(FlValue) string_key = fl_value_new_string(key);
  return fl_value_lookup(value, string_key);
}
