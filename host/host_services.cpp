#include "host/tarvane.h"
#include "platform/module_lookup.h"

const char* const host_service_names[HOST_SERVICE_COUNT] = {
    // memory
    "miva_alloc",
    "miva_realloc",
    "miva_free",
    // variable
    "miva_variable_name",
    "miva_variable_value",
    "miva_variable_setvalue",
    "miva_variable_new",
    // variable list
    "miva_variablelist_new",
    "miva_variablelist_first",
    "miva_variablelist_current",
    "miva_variablelist_next",
    "miva_variablelist_find",
    "miva_variablelist_setvariable",
    "miva_variablelist_dump",
    "miva_variablelist_to_url",
    "miva_variablelist_delete",
    // variable tree
    "miva_variabletree_new",
    "miva_variabletree_find",
    "miva_variabletree_setvariable",
    "miva_variabletree_insert",
    "miva_variabletree_dump",
    "miva_variabletree_delete",
    // network
    "miva_network_isipaddress",
    "miva_network_gethostaddress",
    "miva_network_connect",
    "miva_network_openurl",
    "miva_network_read",
    "miva_network_readline",
    "miva_network_write",
    "miva_network_close",
    "miva_network_error",
    // file
    "miva_file_resolve",
    "miva_file_open",
    "miva_file_delete",
    "miva_file_rename",
    "miva_file_exists",
    "miva_file_size",
    "miva_file_isdirectory",
    "miva_file_makedirectory",
    "miva_file_removedirectory",
    "miva_file_mode",
    "miva_file_changemode",
    "miva_file_pathseparator",
    "miva_file_read",
    "miva_file_write",
    "miva_file_seek",
    "miva_file_tell",
    "miva_file_length",
    "miva_file_lock",
    "miva_file_release",
    "miva_file_close",
    "miva_file_error",
};

// Zero-initialised data, so nothing runs at load.
host_service_table host_services;

TARVANE_EXPORT void MivaRegisterLibrary(void* module) {
  for (int i = 0; i < HOST_SERVICE_COUNT; ++i) {
    host_services.slot[i] = platform_find_export(module, host_service_names[i]);
  }
}

void* miva_alloc(int32_t size) {
  miva_alloc_fn service =
      reinterpret_cast<miva_alloc_fn>(host_services.slot[SLOT_MIVA_ALLOC]);
  if (service == nullptr) return nullptr;
  return service(size);
}

void miva_free(void* block) {
  miva_free_fn service =
      reinterpret_cast<miva_free_fn>(host_services.slot[SLOT_MIVA_FREE]);
  // A copy that could not be made is no block; there is nothing to return.
  if (service == nullptr || block == nullptr) return;
  service(block);
}

char* miva_variablelist_to_url(const char* url, host_handle field_list) {
  miva_variablelist_to_url_fn service =
      reinterpret_cast<miva_variablelist_to_url_fn>(
          host_services.slot[SLOT_MIVA_VARIABLELIST_TO_URL]);
  if (service == nullptr) return nullptr;
  return service(url, field_list);
}

void miva_variabletree_setvariable(host_handle result_tree, const char* name,
                                   const char* value) {
  miva_variabletree_setvariable_fn service =
      reinterpret_cast<miva_variabletree_setvariable_fn>(
          host_services.slot[SLOT_MIVA_VARIABLETREE_SETVARIABLE]);
  if (service == nullptr) return;
  service(result_tree, name, value);
}
