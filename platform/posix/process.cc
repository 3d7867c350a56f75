// The process entry's needs on Linux: nothing to harden, and no raw command
// line.
#include "platform/process.h"

namespace ks {

void PrepareProcess() {}

const char* RawCommandLine() { return nullptr; }

}  // namespace ks
