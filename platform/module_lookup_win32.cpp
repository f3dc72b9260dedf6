#include "platform/module_lookup.h"

#include <windows.h>

void* platform_find_export(void* module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void*>(
      GetProcAddress(static_cast<HMODULE>(module), name));
}
