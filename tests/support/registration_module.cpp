// Test binaries that load the built module register it as a host does.
#include "tests/support/host_fixture.h"
#include "tests/support/library_module.h"

void register_library_with(void* module) {
  load_library_module(TARVANE_MODULE_PATH).register_library(module);
}
