// The process entry's needs on Windows.
#include "platform/process.h"

#include "platform/win32/hardening.h"
// clang-format off
#include <windows.h>
// clang-format on

namespace ks {

void PrepareProcess() { (void)HardenProcess(); }

const char* RawCommandLine() { return ::GetCommandLineA(); }

std::string HostWordToAnsi(const char* word) { return word; }

unsigned long ProcessId() { return ::GetCurrentProcessId(); }

}  // namespace ks
