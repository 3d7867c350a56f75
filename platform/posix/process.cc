// The process entry's needs on Linux: standard descriptors that are open,
// and no raw command line.
#include "platform/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace ks {

void PrepareProcess() {
  // A closed 0, 1 or 2 is the number the next open() returns: the lock
  // file or client.ver would become "standard error", and trace lines
  // (KSUPDATE_TRACE=-) would be written into them. open() takes the lowest
  // free number, so going up from 0 each one lands where it is missing.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
    // Without /dev/null the hole cannot be filled: better no run at all
    // than one that writes its trace into the installation.
    if (opened != fd) ::_exit(1);
  }
}

const char* RawCommandLine() { return nullptr; }

unsigned long ProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace ks
