// The library's chief header: host texts, host handles, the host service
// table and the forwarding operations through which the library reaches
// the host.
#ifndef TARVANE_HOST_TARVANE_H
#define TARVANE_HOST_TARVANE_H

#include <stdint.h>

// 8-bit, NUL-terminated text in a block from miva_alloc.
typedef char* host_text;

// Opaque pointer-sized name of a host variable list or variable tree.
typedef void* host_handle;

// The host calls the exports with the C calling convention, so an export
// may declare fewer parameters than the host passes.
#ifdef _WIN32
#define TARVANE_EXPORT extern "C"
#else
#define TARVANE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The service table: one code address per service name, in lookup order.
enum { HOST_SERVICE_COUNT = 52 };

enum host_service_slot {
  SLOT_MIVA_ALLOC = 0,
  SLOT_MIVA_FREE = 2,
  SLOT_MIVA_VARIABLELIST_TO_URL = 14,
  SLOT_MIVA_VARIABLETREE_SETVARIABLE = 18,
};

struct host_service_table {
  void* slot[HOST_SERVICE_COUNT];
};

// The names looked up at registration, in table order.
extern const char* const host_service_names[HOST_SERVICE_COUNT];

// The only state that outlives a call; written only by MivaRegisterLibrary.
extern host_service_table host_services;

// Signatures of the four services the library calls.
typedef void* (*miva_alloc_fn)(int32_t size);
typedef void (*miva_free_fn)(void* block);
typedef char* (*miva_variablelist_to_url_fn)(const char* url,
                                             host_handle field_list);
typedef void (*miva_variabletree_setvariable_fn)(host_handle result_tree,
                                                 const char* name,
                                                 const char* value);

// Forwarding operations. A call through an empty slot does nothing and
// yields an empty result (no block, no text) instead of crashing the host.
void* miva_alloc(int32_t size);
void miva_free(void* block);
char* miva_variablelist_to_url(const char* url, host_handle field_list);
void miva_variabletree_setvariable(host_handle result_tree, const char* name,
                                   const char* value);

TARVANE_EXPORT void MivaRegisterLibrary(void* module);

#endif  // TARVANE_HOST_TARVANE_H
