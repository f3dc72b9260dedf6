// The module's entry point, in place of the C runtime's start-up code: the
// library has no work at load or unload, in process or thread, so every
// notification succeeds and nothing else runs. Its work starts when the host
// calls MivaRegisterLibrary.
#include <windows.h>

extern "C" BOOL WINAPI tarvane_dll_entry(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
