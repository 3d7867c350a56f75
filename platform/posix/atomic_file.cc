#include "platform/posix/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "platform/posix/files.h"
#include "platform/posix/write_all.h"
#include "platform/temp_files.h"

namespace ks::posix {

namespace {

// Removes what a killed run left in `dir` (at `host`), once per directory
// and process: the names are ours alone, and a run that ends normally
// leaves none.
void RemoveStaleTemps(int dir, const std::string& host) {
  static TempSweeps sweeps;
  if (!sweeps.First(host)) return;
  // A descriptor of its own for the stream, which closes it.
  const int own = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return;
  DIR* stream = ::fdopendir(own);
  if (stream == nullptr) {
    ::close(own);
    return;
  }
  while (const dirent* entry = ::readdir(stream)) {
    if (IsTempName(entry->d_name)) {
      ::unlinkat(::dirfd(stream), entry->d_name, 0);
    }
  }
  ::closedir(stream);
}

// RemoveStaleTemps for the directory of `target`.
void SweepStaleTemps(const Place& target) {
  const std::string::size_type cut = target.host.rfind('/');
  RemoveStaleTemps(target.dir(), cut == std::string::npos
                                     ? std::string(".")
                                     : target.host.substr(0, cut + 1));
}

// Six letters or digits for a temporary file's name, as mkstemp() makes
// them: different in each call and in each process.
std::string RandomSuffix() {
  static uint64_t state = [] {
    uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, 0) != sizeof seed) {
      seed = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15u ^
             static_cast<uint64_t>(::time(nullptr));
    }
    return seed;
  }();
  // splitmix64: a full-period sequence, so names only repeat after 2^64.
  state += 0x9E3779B97F4A7C15u;
  uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  z ^= z >> 31;
  static const char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  for (int i = 0; i < 6; ++i) {
    suffix += kLetters[z % (sizeof kLetters - 1)];
    z /= sizeof kLetters - 1;
  }
  return suffix;
}

int ExchangeNames(int dir, const char* from, const char* to) {
  return ::renameat2(dir, from, dir, to, RENAME_EXCHANGE);
}

// The errors of a file system or kernel that cannot exchange two names.
bool ExchangeUnsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

}  // namespace

ReplacerCalls ReplacerCalls::System() {
  return ReplacerCalls{ExchangeNames, ::fsync, ::fdatasync};
}

mode_t CurrentUmask() {
  static const mode_t mask = [] {
    mode_t old = ::umask(0);
    ::umask(old);
    return old;
  }();
  return mask;
}

void SweepStaleTempsIn(const Place& dir) {
  // Told by the same host path, with its slash, as a file's place there
  // tells it: a directory is swept once, whichever asks first.
  std::string host = dir.host;
  if (host.empty() || host.back() != '/') host += '/';
  if (dir.name == ".") {
    RemoveStaleTemps(dir.dir(), host);
    return;
  }
  const Fd opened(OpenDirectoryIn(dir.dir(), dir.name));
  if (opened.valid()) RemoveStaleTemps(opened.get(), host);
}

int CreateTempBeside(const Place& target, mode_t mode, std::string* temp_name,
                     bool sweep) {
  const int dir = target.dir();
  if (sweep) SweepStaleTemps(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = kTempPrefix + RandomSuffix();
    const int fd = ::openat(dir, name.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                            mode & 0777);
    if (fd >= 0) {
      *temp_name = std::move(name);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

bool CommitTempIn(int fd, int dir, const std::string& temp_name,
                  const std::string& name) {
  // The data reaches the disk before the name does: a crash leaves the old
  // file or the whole new one, never an empty one.
  bool ok = ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::renameat(dir, temp_name.c_str(), dir, name.c_str()) == 0;
  if (!ok) {
    const int error = errno;
    ::unlinkat(dir, temp_name.c_str(), 0);
    errno = error;
  }
  return ok;
}

bool FileReplacer::Serves(const Place& target) const {
  if (spare_fd_ < 0 || target_ != target.name) return false;
  // A held directory was looked at once, when it was opened.
  const struct stat* dir = target.dir_identity();
  struct stat looked {};
  if (dir == nullptr) {
    if (::fstat(target.dir(), &looked) != 0) return false;
    dir = &looked;
  }
  return SameFile(*dir, dir_stat_);
}

bool FileReplacer::Replace(const Place& target, const std::string& data,
                           mode_t mode, const struct stat* old_lstat,
                           struct stat* written) {
  const int dir = target.dir();
  const char* name = target.name.c_str();
  struct stat old_stat {};
  if (old_lstat != nullptr) old_stat = *old_lstat;
  const bool exists =
      (old_lstat != nullptr ||
       ::fstatat(dir, name, &old_stat, AT_SYMLINK_NOFOLLOW) == 0) &&
      S_ISREG(old_stat.st_mode);
  if (exists) {
    // Never a set-id or sticky bit, whatever the old file had.
    mode = old_stat.st_mode & 0777;
    if (Serves(target) && ReplaceWithSpare(target, data, old_stat, written)) {
      return true;
    }
  } else {
    mode &= 0777 & ~CurrentUmask();
  }
  if (spare_fd_ >= 0) DropSpare();

  std::string temp_name;
  int fd = CreateTempBeside(target, mode, &temp_name);
  if (fd < 0) return false;
  struct stat own_stat {};
  struct stat* new_stat = written != nullptr ? written : &own_stat;
  // The bits that open() does not give (the umask's): set apart.
  const bool mode_given = (mode & ~CurrentUmask()) == mode;
  if (!WriteAll(fd, data.data(), data.size()) ||
      (!mode_given && ::fchmod(fd, mode) != 0) || ::fstat(fd, new_stat) != 0 ||
      calls_.fsync(fd) != 0) {
    ::close(fd);
    ::unlinkat(dir, temp_name.c_str(), 0);
    return false;
  }
  // A file with another link must not become the spare: the other name
  // would see it written over.
  if (holds_ > 0 && exists && old_stat.st_nlink == 1 && exchange_works_) {
    if (calls_.exchange(dir, temp_name.c_str(), name) == 0) {
      KeepSpare(target, temp_name, fd, old_stat);
      return true;
    }
    if (ExchangeUnsupported(errno)) exchange_works_ = false;
  }
  if (::close(fd) != 0 || ::renameat(dir, temp_name.c_str(), dir, name) != 0) {
    ::unlinkat(dir, temp_name.c_str(), 0);
    return false;
  }
  return true;
}

bool FileReplacer::ReplaceWithSpare(const Place& target,
                                    const std::string& data,
                                    const struct stat& old_stat,
                                    struct stat* written) {
  struct stat spare {};
  // The target still holds the file we put there, with no other link, and
  // the spare is still ours alone under its name.
  if (!SameFile(old_stat, current_stat_) || old_stat.st_nlink != 1 ||
      ::fstatat(dir_fd_, spare_name_.c_str(), &spare, AT_SYMLINK_NOFOLLOW) !=
          0 ||
      !SameFile(spare, spare_stat_) || spare.st_nlink != 1) {
    DropSpare();
    return false;
  }
  // The spare is the file that the target named until the last exchange.
  // Only once that exchange is on disk may it be written over: else a
  // power cut could bring back the old name over a half-written file.
  if (calls_.fsync(dir_fd_) != 0) {
    DropSpare();
    return false;
  }
  const mode_t mode = old_stat.st_mode & 0777;
  const auto size = static_cast<off_t>(data.size());
  struct stat own_stat {};
  struct stat* new_stat = written != nullptr ? written : &own_stat;
  // Only the data needs flushing: the file's size, the one piece of its
  // metadata needed to read it back, is flushed with it by fdatasync().
  if (((spare.st_mode & 07777) != mode && ::fchmod(spare_fd_, mode) != 0) ||
      !WriteAll(spare_fd_, data.data(), data.size(), 0) ||
      (spare.st_size > size && ::ftruncate(spare_fd_, size) != 0) ||
      calls_.fdatasync(spare_fd_) != 0 || ::fstat(spare_fd_, new_stat) != 0) {
    DropSpare();
    return false;
  }
  if (calls_.exchange(dir_fd_, spare_name_.c_str(), target.name.c_str()) != 0) {
    if (ExchangeUnsupported(errno)) exchange_works_ = false;
    // The spare holds the whole new file, flushed: a plain rename will do.
    const bool renamed = ::renameat(dir_fd_, spare_name_.c_str(), dir_fd_,
                                    target.name.c_str()) == 0;
    if (renamed) spare_name_.clear();
    DropSpare();
    return renamed;
  }
  std::swap(spare_fd_, current_fd_);
  spare_stat_ = current_stat_;
  current_stat_ = *new_stat;
  return true;
}

void FileReplacer::KeepSpare(const Place& target, const std::string& temp_name,
                             int fd, const struct stat& old_stat) {
  const int dir = target.dir();
  dir_fd_ = DupFd(dir);
  const int spare_fd =
      ::openat(dir, temp_name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  struct stat spare {};
  struct stat current {};
  // The old file, and nothing else that came to that name meanwhile.
  if (dir_fd_ < 0 || ::fstat(dir_fd_, &dir_stat_) != 0 || spare_fd < 0 ||
      ::fstat(spare_fd, &spare) != 0 || !SameFile(spare, old_stat) ||
      spare.st_nlink != 1 || ::fstat(fd, &current) != 0) {
    if (spare_fd >= 0) ::close(spare_fd);
    ::close(fd);
    ::unlinkat(dir, temp_name.c_str(), 0);
    DropSpare();
    return;
  }
  target_ = target.name;
  spare_name_ = temp_name;
  spare_fd_ = spare_fd;
  spare_stat_ = spare;
  current_fd_ = fd;
  current_stat_ = current;
}

void FileReplacer::DropSpare() {
  if (spare_fd_ >= 0) {
    ::close(spare_fd_);
    if (!spare_name_.empty() && dir_fd_ >= 0) {
      ::unlinkat(dir_fd_, spare_name_.c_str(), 0);
    }
  }
  if (current_fd_ >= 0) ::close(current_fd_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
  spare_fd_ = current_fd_ = dir_fd_ = -1;
  target_.clear();
  spare_name_.clear();
}

}  // namespace ks::posix
