// The process entry's needs on Linux: nothing to harden, and no raw command
// line.
#include "platform/process.h"

#include <unistd.h>

namespace ks {

void PrepareProcess() {}

const char* RawCommandLine() { return nullptr; }

unsigned long ProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace ks
