// On POSIX systems the library's load and unload (dlopen/dlclose, or start
// and end of a program linked with it) run the DLL entry's process attach
// and detach, as the Windows CE loader does.
#include "CeCore.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE Instance, DWORD Reason, LPVOID Reserved);

namespace {

__attribute__((constructor)) void OceloLibraryLoad() {
  DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) void OceloLibraryUnload() {
  DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
}

}  // namespace
