// Tells what ks::HardenProcess, the first call of ksupdate's entry, does
// to a process, read back from the process itself
// (tests/suites/package_check.py runs it under Wine).
//
//   hardening_probe plain|hardened DLL...
//
// "hardened" calls ks::HardenProcess first, "plain" does not (the control:
// the same loads succeed without it). Prints, one a line:
//   error mode before: 0xHEX
//   search restricted to system32: yes|no      (hardened only)
//   current directory removed: yes|no          (hardened only)
//   error mode: 0xHEX
//   load DLL: loaded|refused
// for each DLL, loaded by name with LoadLibraryA.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/win32/hardening.h"

int main(int argc, char** argv) {
  if (argc < 2 || (std::strcmp(argv[1], "plain") != 0 &&
                   std::strcmp(argv[1], "hardened") != 0)) {
    std::fprintf(stderr, "usage: hardening_probe plain|hardened DLL...\n");
    return 2;
  }
  std::printf("error mode before: 0x%x\n", ::GetErrorMode());
  if (std::strcmp(argv[1], "hardened") == 0) {
    const ks::HardeningResult result = ks::HardenProcess();
    std::printf("search restricted to system32: %s\n",
                result.search_restricted_to_system32 ? "yes" : "no");
    std::printf("current directory removed: %s\n",
                result.current_directory_removed ? "yes" : "no");
  }
  std::printf("error mode: 0x%x\n", ::GetErrorMode());
  for (int i = 2; i < argc; ++i) {
    HMODULE module = ::LoadLibraryA(argv[i]);
    std::printf("load %s: %s\n", argv[i],
                module != nullptr ? "loaded" : "refused");
    if (module != nullptr) ::FreeLibrary(module);
  }
  return 0;
}
