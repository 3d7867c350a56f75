#include "platform/win32/hardening.h"

// clang-format off
#include <windows.h>
// clang-format on

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace ks {

HardeningResult HardenProcess() {
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
                 SEM_NOOPENFILEERRORBOX);

  HardeningResult result;
  // Looked up rather than imported, so that the program still starts where
  // kernel32 does not have it. GetModuleHandle loads nothing: kernel32 is
  // in every process.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel32 = ::GetModuleHandleA("kernel32.dll");
  FARPROC proc = kernel32 == nullptr
                     ? nullptr
                     : ::GetProcAddress(kernel32, "SetDefaultDllDirectories");
  if (proc != nullptr) {
    auto set_default_dll_directories =
        reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void (*)()>(proc));
    result.search_restricted_to_system32 =
        set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
  }
  result.current_directory_removed = ::SetDllDirectoryA("") != FALSE;
  return result;
}

}  // namespace ks
