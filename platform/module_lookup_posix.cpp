#include "platform/module_lookup.h"

#include <dlfcn.h>

void* platform_find_export(void* module, const char* name) {
  if (module == nullptr) return nullptr;
  return dlsym(module, name);
}
