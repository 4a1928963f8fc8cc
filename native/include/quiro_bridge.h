/* Entry points of libquiro's bridge to Dart. The Dart side's generated code
 * binds them by name: it fills request buffers, dispatches them with a
 * function id and a reply port, and receives each result on that port. */
#ifndef QUIRO_BRIDGE_H_
#define QUIRO_BRIDGE_H_

#include <stdint.h>

#include "dart_native_api.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QUIRO_BRIDGE_EXPORT __attribute__((visibility("default")))

/* Decodes the request on the calling thread and takes over `buffer`; the
 * result arrives later on `port`. */
QUIRO_BRIDGE_EXPORT void quiro_bridge_dispatch_async(int32_t function_id, int64_t port,
                                                     uint8_t* buffer, int32_t buffer_length,
                                                     int32_t data_length);
/* No function is synchronous: every call stops the process. */
QUIRO_BRIDGE_EXPORT void quiro_bridge_dispatch_sync(int32_t function_id, uint8_t* buffer,
                                                    int32_t buffer_length, int32_t data_length);
QUIRO_BRIDGE_EXPORT int32_t quiro_bridge_content_hash(void);

QUIRO_BRIDGE_EXPORT intptr_t quiro_bridge_init_dart_api(void* data);
QUIRO_BRIDGE_EXPORT void quiro_bridge_store_post_function(Dart_PostCObject_Type post);

QUIRO_BRIDGE_EXPORT void quiro_bridge_handle_retain(uint64_t handle);
QUIRO_BRIDGE_EXPORT void quiro_bridge_handle_release(uint64_t handle);

/* Request buffers; length 0 is the placeholder pointer 1. */
QUIRO_BRIDGE_EXPORT uint8_t* quiro_bridge_buffer_new(int32_t length);
QUIRO_BRIDGE_EXPORT uint8_t* quiro_bridge_buffer_resize(uint8_t* buffer, int32_t length,
                                                        int32_t new_length);
QUIRO_BRIDGE_EXPORT void quiro_bridge_buffer_free(uint8_t* buffer, int32_t length);

QUIRO_BRIDGE_EXPORT void quiro_bridge_free_sync_result_object(Dart_CObject* object);
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_sync_result_bytes(uint8_t* bytes, int32_t length);

QUIRO_BRIDGE_EXPORT void* quiro_bridge_dart_object_wrap(Dart_Handle object, int64_t port);
QUIRO_BRIDGE_EXPORT Dart_Handle quiro_bridge_dart_object_get(void* wrapped);
QUIRO_BRIDGE_EXPORT void quiro_bridge_dart_object_drop(void* wrapped);

QUIRO_BRIDGE_EXPORT void quiro_bridge_deliver_callback_output(int32_t call_id, uint8_t* buffer,
                                                              int32_t buffer_length,
                                                              int32_t data_length);

/* Finaliser of a delivered result, one name per typed-data element type. */
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_result_buffer_u8(void* isolate_callback_data,
                                                            void* peer);
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_result_buffer_i8(void* isolate_callback_data,
                                                            void* peer);
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_result_buffer_u16(void* isolate_callback_data,
                                                             void* peer);
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_result_buffer_i16(void* isolate_callback_data,
                                                             void* peer);
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_result_buffer_u32(void* isolate_callback_data,
                                                             void* peer);
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_result_buffer_i32(void* isolate_callback_data,
                                                             void* peer);
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_result_buffer_u64(void* isolate_callback_data,
                                                             void* peer);
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_result_buffer_i64(void* isolate_callback_data,
                                                             void* peer);
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_result_buffer_f32(void* isolate_callback_data,
                                                             void* peer);
QUIRO_BRIDGE_EXPORT void quiro_bridge_free_result_buffer_f64(void* isolate_callback_data,
                                                             void* peer);

#ifdef __cplusplus
}
#endif

#endif /* QUIRO_BRIDGE_H_ */
