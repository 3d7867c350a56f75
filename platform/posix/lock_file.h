// The installation's lock on Linux: a lock on one byte of a host file.
#ifndef KSUPDATE_PLATFORM_POSIX_LOCK_FILE_H_
#define KSUPDATE_PLATFORM_POSIX_LOCK_FILE_H_

#include <sys/stat.h>

#include <memory>
#include <string>

#include "platform/platform.h"

namespace ks::posix {

// A lock that LockHostFile took; destroying it releases the lock.
class HostFileLock {
 public:
  HostFileLock(int fd, const struct stat& st) : fd_(fd), st_(st) {}
  HostFileLock(const HostFileLock&) = delete;
  HostFileLock& operator=(const HostFileLock&) = delete;
  ~HostFileLock();

  // True when `st`, the lstat() of some path, is the locked file itself.
  bool Is(const struct stat& st) const {
    return st.st_dev == st_.st_dev && st.st_ino == st_.st_ino;
  }

 private:
  int fd_;
  struct stat st_;
};

// LockInstallation on a host path: an exclusive lock on the first byte of
// the file, which is opened or created (mode 0666 less the umask) and
// never written. kFailed for a path that cannot be opened for writing, a
// symbolic link or anything but a plain file, or a file system that
// refuses the lock.
LockResult LockHostFile(const std::string& path, DWORD timeout_ms,
                        std::unique_ptr<HostFileLock>* lock);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_LOCK_FILE_H_
