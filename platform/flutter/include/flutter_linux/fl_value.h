#ifndef FLUTTER_LINUX_FL_VALUE_H_
#define FLUTTER_LINUX_FL_VALUE_H_

#include <glib.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

G_BEGIN_DECLS

// A value of the standard method codec. Reference counted; release with fl_value_unref.
typedef struct _FlValue FlValue;

typedef enum {
  FL_VALUE_TYPE_NULL,
  FL_VALUE_TYPE_BOOL,
  FL_VALUE_TYPE_INT,
  FL_VALUE_TYPE_FLOAT,
  FL_VALUE_TYPE_STRING,
  FL_VALUE_TYPE_LIST,
  FL_VALUE_TYPE_MAP,
} FlValueType;

FlValue* fl_value_new_null();
FlValue* fl_value_new_bool(bool value);
FlValue* fl_value_new_int(int64_t value);
FlValue* fl_value_new_float(double value);
FlValue* fl_value_new_string(const gchar* value);
FlValue* fl_value_new_list();
FlValue* fl_value_new_map();

FlValue* fl_value_ref(FlValue* value);
void fl_value_unref(FlValue* value);

FlValueType fl_value_get_type(FlValue* value);
bool fl_value_equal(FlValue* a, FlValue* b);

void fl_value_append(FlValue* value, FlValue* child);
void fl_value_append_take(FlValue* value, FlValue* child);
void fl_value_set(FlValue* value, FlValue* key, FlValue* child_value);
void fl_value_set_take(FlValue* value, FlValue* key, FlValue* child_value);
void fl_value_set_string(FlValue* value, const gchar* key, FlValue* child_value);
void fl_value_set_string_take(FlValue* value, const gchar* key, FlValue* child_value);

bool fl_value_get_bool(FlValue* value);
int64_t fl_value_get_int(FlValue* value);
double fl_value_get_float(FlValue* value);
const gchar* fl_value_get_string(FlValue* value);
size_t fl_value_get_length(FlValue* value);
FlValue* fl_value_get_list_value(FlValue* value, size_t index);
FlValue* fl_value_get_map_key(FlValue* value, size_t index);
FlValue* fl_value_get_map_value(FlValue* value, size_t index);
FlValue* fl_value_lookup(FlValue* value, FlValue* key);
FlValue* fl_value_lookup_string(FlValue* value, const gchar* key);

G_DEFINE_AUTOPTR_CLEANUP_FUNC(FlValue, fl_value_unref)

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_VALUE_H_
