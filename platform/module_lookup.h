// Finding an export of the host module by name: dlsym() on a handle from
// dlopen() on Linux, GetProcAddress() on an HMODULE on Windows.
#ifndef TARVANE_PLATFORM_MODULE_LOOKUP_H
#define TARVANE_PLATFORM_MODULE_LOOKUP_H

// The address the module exports under `name`, or null when it exports
// nothing under it (or when there is no module).
void* platform_find_export(void* module, const char* name);

#endif  // TARVANE_PLATFORM_MODULE_LOOKUP_H
