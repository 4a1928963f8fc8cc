// The part of the Dart VM's native API that libquiro uses: the message object
// handed to the post function and the data the VM passes at initialisation.
// Layouts and values are the VM's own, so the library runs unchanged in the
// real application; only what the library touches is declared.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int64_t Dart_Port;

typedef struct _Dart_Handle* Dart_Handle;
typedef Dart_Handle Dart_PersistentHandle;
typedef struct _Dart_Isolate* Dart_Isolate;

typedef enum {
  Dart_CObject_kNull = 0,
  Dart_CObject_kBool,
  Dart_CObject_kInt32,
  Dart_CObject_kInt64,
  Dart_CObject_kDouble,
  Dart_CObject_kString,
  Dart_CObject_kArray,
  Dart_CObject_kTypedData,
  Dart_CObject_kExternalTypedData,
} Dart_CObject_Type;

typedef enum {
  Dart_TypedData_kByteData = 0,
  Dart_TypedData_kInt8,
  Dart_TypedData_kUint8,
} Dart_TypedData_Type;

// Run by the VM when the Dart object wrapping external data is collected.
typedef void (*Dart_HandleFinalizer)(void* isolate_callback_data, void* peer);

typedef struct _Dart_CObject {
  Dart_CObject_Type type;
  union {
    bool as_bool;
    int32_t as_int32;
    int64_t as_int64;
    double as_double;
    const char* as_string;
    struct {
      intptr_t length;
      struct _Dart_CObject** values;
    } as_array;
    struct {
      Dart_TypedData_Type type;
      intptr_t length;
      const uint8_t* values;
    } as_typed_data;
    struct {
      Dart_TypedData_Type type;
      intptr_t length;
      uint8_t* data;
      void* peer;
      Dart_HandleFinalizer callback;
    } as_external_typed_data;
  } value;
} Dart_CObject;

// Signature of Dart_PostCObject: true when the VM took the message.
typedef bool (*Dart_PostCObject_Type)(Dart_Port port_id, Dart_CObject* message);

typedef Dart_PersistentHandle (*Dart_NewPersistentHandle_Type)(Dart_Handle object);
typedef Dart_Handle (*Dart_HandleFromPersistent_Type)(Dart_PersistentHandle object);
typedef void (*Dart_DeletePersistentHandle_Type)(Dart_PersistentHandle object);
typedef Dart_Isolate (*Dart_CurrentIsolate_Type)(void);

// One named entry point of the VM's dynamically linked API.
typedef struct {
  const char* name;
  void (*function)(void);
} DartApiEntry;

// Handed over by the Dart side at initialisation; `functions` ends with an
// entry whose name is null.
typedef struct {
  const int major;
  const int minor;
  const DartApiEntry* const functions;
} DartApi;

#define DART_API_DL_MAJOR_VERSION 2

#ifdef __cplusplus
}
#endif
