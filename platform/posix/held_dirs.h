// Directories held open, and the files below them reached from them
// without following a link: what the Linux provider does every file
// operation of a run through, so that nobody can swap a directory under it
// between a check and a use.
#ifndef KSUPDATE_PLATFORM_POSIX_HELD_DIRS_H_
#define KSUPDATE_PLATFORM_POSIX_HELD_DIRS_H_

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ks::posix {

// An open descriptor, closed with the object.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes what it holds (keeping errno) and takes `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A second descriptor of `fd` (close-on-exec, above 2); -1 on failure.
int DupFd(int fd);

// What the owner rule finds of a file or directory.
enum class Ownership {
  kTrusted,           // the effective user's or root's, writable by no other
  kNotOwned,          // owned by another user
  kWritableByOthers,  // its group or others may write it (a directory:
                      // and it is not sticky)
};

// The run's effective user, read once: nothing in the program changes it.
uid_t RunUser();

// The owner rule of a run that may have more rights than others on the
// machine: what steers it (the prefix, the directories down to bin,
// system.reg) must be the effective user's or root's, and no other user
// may write it. A sticky directory that is ours may be writable by
// others: they can add names there but not move or remove ours.
Ownership CheckOwnership(const struct stat& st);

// A file below a held directory: the directory that holds it, open, its
// name there and the host path that both stand for (for messages and as
// a key, never opened). The directory is one that the place opened and
// closes, or one that whoever made the place holds for longer.
class Place {
 public:
  int dir() const { return own_.valid() ? own_.get() : held_; }
  bool valid() const { return dir() >= 0; }
  // The directory `fd`, which the place closes.
  void Own(int fd) {
    own_.reset(fd);
    held_ = -1;
    identity_ = nullptr;
  }
  // The directory `fd`, held by another for longer than the place lives;
  // with `identity`, its fstat() as taken when it was opened, which the
  // holder keeps as long.
  void Borrow(int fd, const struct stat* identity = nullptr) {
    own_.reset();
    held_ = fd;
    identity_ = identity;
  }
  // That fstat() of the borrowed directory; null when unknown. Its device
  // and inode stay true while the directory is open.
  const struct stat* dir_identity() const { return identity_; }

  // The lstat() of `name` taken when the name was looked up, moments ago
  // in the same operation: the operation's first look at the file takes it
  // (TakeLooked gives it once) instead of asking the kernel again.
  void Looked(const std::optional<struct stat>& st) { looked_ = st; }
  bool TakeLooked(struct stat* st) const {
    if (!looked_) return false;
    *st = *looked_;
    looked_.reset();
    return true;
  }

  std::string name;
  std::string host;

 private:
  Fd own_;
  int held_ = -1;
  const struct stat* identity_ = nullptr;
  mutable std::optional<struct stat> looked_;
};

// What ReachBelow found on the way.
enum class Reach {
  kReached,    // *place is the last component's
  kMissing,    // a directory on the way is not there, or no directory
  kLink,       // a directory on the way is a symbolic link
  kUntrusted,  // a directory on the way fails the owner rule
};

// The entry of directory `dir` that answers for `wanted`, as Wine matches
// names: `wanted` itself when it is there (looked up alone), else the
// smallest by bytes of those equal to it regardless of letter case; ""
// when none is. `dir` is read only when `wanted` is not there. With
// `looked`, it gets the entry's lstat() when `wanted` itself was found,
// and nothing otherwise.
std::string EntryFor(int dir, std::string_view wanted,
                     std::optional<struct stat>* looked = nullptr);

// Of the entries of the open directory `dir`, the smallest by bytes that
// equals `wanted` regardless of letter case (ASCII rules for an ASCII
// name, Wine's for others); "" when none does.
std::string MatchIgnoringCase(int dir, std::string_view wanted);

// Opens the directory `name` in `dir` without following a link: -1 with
// errno ELOOP for a symbolic link, ENOTDIR for no directory.
int OpenDirectoryIn(int dir, const std::string& name);

// The place of `components` (host names, none empty, "." or "..") below
// the open directory `root` (at `root_host` on the host). Every component
// but the last is a directory, opened without following a link: with
// openat2 (RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH)
// for the path as spelt where the kernel has it, else, and for a name that
// is spelt otherwise on disk, with openat (O_NOFOLLOW | O_DIRECTORY) one
// component at a time, each name matched as EntryFor matches it. With
// `judge`, every directory opened below `root` must also pass
// CheckOwnership, and is looked at before anything is read from it. The
// last component's name is the entry that answers for it, or as spelt
// when none does; no component at all gives the place "." of `root`.
// `root` itself is neither judged nor closed: a place in it borrows it
// (with `root_identity`, Place::Borrow's), and must not outlive it.
Reach ReachBelow(int root, const std::string& root_host,
                 const std::vector<std::string>& components, bool judge,
                 Place* place, const struct stat* root_identity = nullptr);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_HELD_DIRS_H_
