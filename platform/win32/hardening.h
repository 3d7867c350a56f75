// What the entry does before anything else on Windows: no system dialog,
// and no DLL loaded from the patch directory or the current directory.
#ifndef KSUPDATE_PLATFORM_WIN32_HARDENING_H_
#define KSUPDATE_PLATFORM_WIN32_HARDENING_H_

namespace ks {

struct HardeningResult {
  // SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) was there and
  // succeeded: DLLs loaded by name come from System32 only. It is missing
  // on Windows 7 without KB2533623, where the program runs all the same.
  bool search_restricted_to_system32 = false;
  // SetDllDirectoryA("") succeeded: the current directory is out of the
  // search order even where the call above is missing.
  bool current_directory_removed = false;
};

// Sets the process's error mode to SEM_FAILCRITICALERRORS |
// SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX (no "No Disk" box, no
// error-reporting dialog: a failure is an answer, a crash ends the run),
// then restricts the DLL search. Called first thing by the entry
// (PrepareProcess).
HardeningResult HardenProcess();

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_WIN32_HARDENING_H_
