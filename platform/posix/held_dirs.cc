#include "platform/posix/held_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <utility>

#include "formats/text.h"
#include "platform/posix/wine_locale.h"

namespace ks::posix {

namespace {

constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;

// Whether openat2() still looks worth a try: a kernel before 5.6, or a
// sandbox that filters it, says so once.
std::atomic<bool> openat2_works{true};

// The directory `path` (a relative path of components as spelt) below
// `root`, opened by openat2 without any link on the way; -1 with errno,
// ENOSYS when openat2 cannot be used.
int OpenBeneath(int root, const std::string& path) {
  if (!openat2_works.load()) {
    errno = ENOSYS;
    return -1;
  }
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
  for (;;) {
    const long fd =
        ::syscall(SYS_openat2, root, path.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == EINTR || errno == EAGAIN) continue;
    // ENOSYS: no openat2; EPERM: a seccomp filter; E2BIG: an older struct.
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG) {
      openat2_works.store(false);
      errno = ENOSYS;
    }
    return -1;
  }
}

std::string JoinHost(const std::string& base, std::string_view name) {
  std::string joined = base;
  if (joined.empty() || joined.back() != '/') joined += '/';
  joined.append(name.data(), name.size());
  return joined;
}

// One component at a time (see ReachBelow).
Reach WalkBelow(int root, const std::string& root_host,
                const std::vector<std::string>& components, bool judge,
                Place* place, const struct stat* root_identity) {
  place->Borrow(root, root_identity);
  place->host = root_host;
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    const std::string name = EntryFor(place->dir(), components[i]);
    if (name.empty()) return Reach::kMissing;
    Fd next(OpenDirectoryIn(place->dir(), name));
    if (!next.valid()) return errno == ELOOP ? Reach::kLink : Reach::kMissing;
    place->host = JoinHost(place->host, name);
    struct stat st {};
    if (judge && (::fstat(next.get(), &st) != 0 ||
                  CheckOwnership(st) != Ownership::kTrusted)) {
      return Reach::kUntrusted;
    }
    place->Own(next.release());
  }
  return Reach::kReached;
}

}  // namespace

void Fd::reset(int fd) {
  if (fd_ >= 0) {
    const int error = errno;
    ::close(fd_);
    errno = error;
  }
  fd_ = fd;
}

int DupFd(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 3); }

uid_t RunUser() {
  static const uid_t user = ::geteuid();
  return user;
}

Ownership CheckOwnership(const struct stat& st) {
  if (st.st_uid != RunUser() && st.st_uid != 0) return Ownership::kNotOwned;
  if ((st.st_mode & kOthersWrite) == 0) return Ownership::kTrusted;
  if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0) {
    return Ownership::kTrusted;
  }
  return Ownership::kWritableByOthers;
}

std::string MatchIgnoringCase(int dir, std::string_view wanted) {
  // A descriptor of its own for the stream, which closes it.
  const int own = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return std::string();
  DIR* stream = ::fdopendir(own);
  if (stream == nullptr) {
    ::close(own);
    return std::string();
  }
  const bool ascii = std::all_of(wanted.begin(), wanted.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80;
  });
  std::string best;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    // An ASCII name only matches an ASCII one, by ASCII rules.
    if (ascii ? !EqualsIgnoringAsciiCase(name, wanted)
              : !HostNamesEqualIgnoringCase(name, wanted)) {
      continue;
    }
    // The smallest, so that the answer does not depend on readdir's order.
    if (best.empty() || name < best) best = std::string(name);
  }
  ::closedir(stream);
  return best;
}

std::string EntryFor(int dir, std::string_view wanted,
                     std::optional<struct stat>* looked) {
  std::string exact(wanted);
  struct stat st {};
  if (looked != nullptr) looked->reset();
  if (::fstatat(dir, exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (looked != nullptr) *looked = st;
    return exact;
  }
  return MatchIgnoringCase(dir, wanted);
}

int OpenDirectoryIn(int dir, const std::string& name) {
  int fd = -1;
  do {
    fd = ::openat(dir, name.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  // With O_DIRECTORY the kernel says ENOTDIR for a link as for a file.
  struct stat st {};
  if (fd < 0 && errno == ENOTDIR &&
      ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    errno = ELOOP;
  }
  return fd;
}

Reach ReachBelow(int root, const std::string& root_host,
                 const std::vector<std::string>& components, bool judge,
                 Place* place, const struct stat* root_identity) {
  if (components.empty()) {
    place->Borrow(root, root_identity);
    place->name = ".";
    place->host = root_host;
    return Reach::kReached;
  }
  // Most paths exist as spelt: one openat2 for the directories on the way.
  // A judged walk looks at each directory, so it goes one at a time.
  Reach reach = Reach::kMissing;
  if (!judge && components.size() > 1) {
    std::string path;
    std::string host = root_host;
    for (size_t i = 0; i + 1 < components.size(); ++i) {
      if (!path.empty()) path += '/';
      path += components[i];
      host = JoinHost(host, components[i]);
    }
    const int dir = OpenBeneath(root, path);
    if (dir >= 0) {
      place->Own(dir);
      place->host = host;
      reach = Reach::kReached;
    } else if (errno == ELOOP || errno == EXDEV) {
      return Reach::kLink;
    }
  }
  if (reach != Reach::kReached) {
    reach = WalkBelow(root, root_host, components, judge, place, root_identity);
    if (reach != Reach::kReached) return reach;
  }
  const std::string& last = components.back();
  std::optional<struct stat> looked;
  place->name = EntryFor(place->dir(), last, &looked);
  place->Looked(looked);
  if (place->name.empty()) place->name = last;
  place->host = JoinHost(place->host, place->name);
  return Reach::kReached;
}

}  // namespace ks::posix
