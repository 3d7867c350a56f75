// The installation's lock on Linux: a lock on one byte of a host file.
#ifndef KSUPDATE_PLATFORM_POSIX_LOCK_H_
#define KSUPDATE_PLATFORM_POSIX_LOCK_H_

#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/posix/held_dirs.h"

namespace ks::posix {

// A lock that LockHostFile took; destroying it releases the lock.
class HostFileLock {
 public:
  explicit HostFileLock(int fd) : fd_(fd) {}
  HostFileLock(const HostFileLock&) = delete;
  HostFileLock& operator=(const HostFileLock&) = delete;
  ~HostFileLock();

 private:
  int fd_;
};

// LockInstallation on a place: an exclusive lock on the first byte of the
// file, which is opened or created and never written. It is the effective
// user's, mode 0600 (an older one is given that mode): whoever else could
// open it could take a lock of their own and hold every run off. kFailed
// for a file that cannot be opened for writing, a symbolic link or
// anything but a plain file, another user's file, or a file system that
// refuses the lock.
LockResult LockFileAt(const Place& place, DWORD timeout_ms,
                      std::unique_ptr<HostFileLock>* lock);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_LOCK_H_
