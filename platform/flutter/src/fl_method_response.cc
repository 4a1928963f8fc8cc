#include "flutter_linux/fl_method_response.h"

G_DEFINE_QUARK(fl_method_response_error_quark, fl_method_response_error)

G_DEFINE_ABSTRACT_TYPE(FlMethodResponse, fl_method_response, G_TYPE_OBJECT)

static void fl_method_response_class_init(FlMethodResponseClass*) {}

static void fl_method_response_init(FlMethodResponse*) {}

struct _FlMethodSuccessResponse {
  FlMethodResponse parent_instance;
  FlValue* result;  // Owned reference; may be null.
};

G_DEFINE_TYPE(FlMethodSuccessResponse, fl_method_success_response, fl_method_response_get_type())

static void fl_method_success_response_dispose(GObject* object) {
  FlMethodSuccessResponse* self = FL_METHOD_SUCCESS_RESPONSE(object);
  g_clear_pointer(&self->result, fl_value_unref);
  G_OBJECT_CLASS(fl_method_success_response_parent_class)->dispose(object);
}

static void fl_method_success_response_class_init(FlMethodSuccessResponseClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_success_response_dispose;
}

static void fl_method_success_response_init(FlMethodSuccessResponse*) {}

FlMethodSuccessResponse* fl_method_success_response_new(FlValue* result) {
  auto* self =
      FL_METHOD_SUCCESS_RESPONSE(g_object_new(fl_method_success_response_get_type(), nullptr));
  self->result = result != nullptr ? fl_value_ref(result) : nullptr;
  return self;
}

FlValue* fl_method_success_response_get_result(FlMethodSuccessResponse* self) {
  g_return_val_if_fail(FL_IS_METHOD_SUCCESS_RESPONSE(self), nullptr);
  return self->result;
}

struct _FlMethodErrorResponse {
  FlMethodResponse parent_instance;
  gchar* code;       // Owned.
  gchar* message;    // Owned; may be null.
  FlValue* details;  // Owned reference; may be null.
};

G_DEFINE_TYPE(FlMethodErrorResponse, fl_method_error_response, fl_method_response_get_type())

static void fl_method_error_response_dispose(GObject* object) {
  FlMethodErrorResponse* self = FL_METHOD_ERROR_RESPONSE(object);
  g_clear_pointer(&self->code, g_free);
  g_clear_pointer(&self->message, g_free);
  g_clear_pointer(&self->details, fl_value_unref);
  G_OBJECT_CLASS(fl_method_error_response_parent_class)->dispose(object);
}

static void fl_method_error_response_class_init(FlMethodErrorResponseClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_error_response_dispose;
}

static void fl_method_error_response_init(FlMethodErrorResponse*) {}

FlMethodErrorResponse* fl_method_error_response_new(const gchar* code, const gchar* message,
                                                    FlValue* details) {
  g_return_val_if_fail(code != nullptr, nullptr);
  auto* self = FL_METHOD_ERROR_RESPONSE(g_object_new(fl_method_error_response_get_type(), nullptr));
  self->code = g_strdup(code);
  self->message = g_strdup(message);
  self->details = details != nullptr ? fl_value_ref(details) : nullptr;
  return self;
}

const gchar* fl_method_error_response_get_code(FlMethodErrorResponse* self) {
  g_return_val_if_fail(FL_IS_METHOD_ERROR_RESPONSE(self), nullptr);
  return self->code;
}

const gchar* fl_method_error_response_get_message(FlMethodErrorResponse* self) {
  g_return_val_if_fail(FL_IS_METHOD_ERROR_RESPONSE(self), nullptr);
  return self->message;
}

FlValue* fl_method_error_response_get_details(FlMethodErrorResponse* self) {
  g_return_val_if_fail(FL_IS_METHOD_ERROR_RESPONSE(self), nullptr);
  return self->details;
}

struct _FlMethodNotImplementedResponse {
  FlMethodResponse parent_instance;
};

G_DEFINE_TYPE(FlMethodNotImplementedResponse, fl_method_not_implemented_response,
              fl_method_response_get_type())

static void fl_method_not_implemented_response_class_init(FlMethodNotImplementedResponseClass*) {}

static void fl_method_not_implemented_response_init(FlMethodNotImplementedResponse*) {}

FlMethodNotImplementedResponse* fl_method_not_implemented_response_new() {
  return FL_METHOD_NOT_IMPLEMENTED_RESPONSE(
      g_object_new(fl_method_not_implemented_response_get_type(), nullptr));
}

FlValue* fl_method_response_get_result(FlMethodResponse* response, GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_RESPONSE(response), nullptr);
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    FlValue* result = fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response));
    return result != nullptr ? fl_value_ref(result) : fl_value_new_null();
  }
  if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* error_response = FL_METHOD_ERROR_RESPONSE(response);
    const gchar* message = fl_method_error_response_get_message(error_response);
    g_set_error(error, FL_METHOD_RESPONSE_ERROR, FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR, "%s: %s",
                fl_method_error_response_get_code(error_response), message ? message : "");
    return nullptr;
  }
  g_set_error(error, FL_METHOD_RESPONSE_ERROR, FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED,
              "Method not implemented");
  return nullptr;
}
