// What the process entry asks of the system before the run starts.
#ifndef KSUPDATE_PLATFORM_PROCESS_H_
#define KSUPDATE_PLATFORM_PROCESS_H_

#include <string>

namespace ks {

// Makes the process fit to run with more rights than whoever controls its
// inputs, before it reads or loads anything: on Windows, no system dialog
// and no DLL from the patch directory or the current directory
// (win32/hardening.h); on Linux, descriptors 0, 1 and 2 open (on /dev/null
// where they were closed), so that no file the run opens later takes the
// place of standard error. Where that cannot be done (no /dev/null) the
// process ends at once with status 1. Called first thing.
void PrepareProcess();

// The raw command line, the program's name included, where the system
// keeps one (Windows); null where it hands a program only its words
// (Linux).
const char* RawCommandLine();

// A word that the host split off the command line (Linux), as ANSI text,
// as Wine hands a Windows program its command line: decoded from the
// locale's charset and put in the ANSI code page, a character that the
// page lacks as '?' (Wine would pick a look-alike); the bytes as they are
// in the C locale and where the charset is the ANSI page's own (GBK in
// zh_CN.GBK, say). Where the raw command line is there (Windows), as it
// is.
std::string HostWordToAnsi(const char* word);

// This process's id, as the system shows it.
unsigned long ProcessId();

// Who runs this process, where, and from which file: for the head of a
// trace file, which an admin reads to tell one run from another. A fact
// the system does not give is "?".
struct RunIdentity {
  std::string account;    // DOMAIN\user on Windows, the user's name on Linux
  bool elevated = false;  // an administrator's full token or SYSTEM; root
  std::string computer;
  std::string program;  // the program file's full path
};
RunIdentity ReadRunIdentity();

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_PROCESS_H_
