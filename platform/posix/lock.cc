#include "platform/posix/lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/lock_wait.h"
#include "platform/posix/held_dirs.h"

namespace ks::posix {

namespace {

// Milliseconds of the monotonic clock, wrapping as GetTickCount does.
DWORD NowMs() {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(static_cast<unsigned long long>(now.tv_sec) * 1000 +
                            static_cast<unsigned long long>(now.tv_nsec) /
                                1000000);
}

void SleepMs(DWORD ms) {
  struct timespec pause {};
  pause.tv_sec = static_cast<time_t>(ms / 1000);
  pause.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

// Open file description locks: they belong to the descriptor rather than
// to the process, so no other open() and close() of the same file by this
// process can drop them, and two locks taken in one process exclude each
// other as those of two processes do. They conflict with the classic
// record locks that Wine's server takes on the host file for a
// LockFileEx of the Windows build, so the two builds exclude each other.
HostFileLock::~HostFileLock() { ::close(fd_); }

LockResult LockFileAt(const Place& place, DWORD timeout_ms,
                      std::unique_ptr<HostFileLock>* lock) {
  // Not through a link: the lock file must not be made or opened outside
  // bin. Non-blocking, so that a FIFO in its place cannot stop us here.
  int fd = ::openat(
      place.dir(), place.name.c_str(),
      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
  if (fd < 0) return LockResult::kFailed;
  // A reader's lock (F_RDLCK needs no more than a read-only descriptor)
  // would hold every run off as well as a writer's: nobody else may open
  // the file. One that an older run made may be readable by all.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != RunUser() ||
      ((st.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0)) {
    ::close(fd);
    return LockResult::kFailed;
  }
  const LockResult result = WaitForLock(
      timeout_ms,
      [fd] {
        struct flock byte {};
        byte.l_type = F_WRLCK;
        byte.l_whence = SEEK_SET;
        byte.l_start = 0;
        byte.l_len = 1;
        while (::fcntl(fd, F_OFD_SETLK, &byte) != 0) {
          if (errno == EAGAIN || errno == EACCES) return LockResult::kBusy;
          // ENOLCK, EINVAL (no such locks here), EOPNOTSUPP and the like.
          if (errno != EINTR) return LockResult::kFailed;
        }
        return LockResult::kHeld;
      },
      NowMs, SleepMs);
  if (result == LockResult::kHeld) {
    *lock = std::make_unique<HostFileLock>(fd);
  } else {
    ::close(fd);
  }
  return result;
}

}  // namespace ks::posix
