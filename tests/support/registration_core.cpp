// Test binaries that link the library's objects register them directly.
#include "host/tarvane.h"
#include "tests/support/host_fixture.h"

void register_library_with(void* module) { MivaRegisterLibrary(module); }
