#include "platform/posix/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/atomic_file.h"
#include "platform/posix/hashing_copy.h"
#include "platform/posix/write_all.h"

namespace ks::posix {

namespace {

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

// Copies `size` bytes from the offsets of `in` and `out` on, with the
// kernel's copy where it works; bytes that the source gains meanwhile are
// not part of the copy.
bool CopyData(int in, int out, off_t size) {
  off_t done = 0;
  while (done < size) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr,
                                  static_cast<size_t>(size - done), 0);
    if (n < 0 && errno == EINTR) continue;
    // Not supported across these file systems, or the file shrank: go on
    // with the plain loop from where we are (copy_file_range moved both
    // offsets by what it copied).
    if (n <= 0) break;
    done += n;
  }
  if (done == size) return true;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) return false;
  }
}

// True when the file behind `fd` is still what `before` says it was: the
// same inode, size and modification time.
bool Unchanged(int fd, const struct stat& before) {
  struct stat after {};
  return ::fstat(fd, &after) == 0 && after.st_ino == before.st_ino &&
         after.st_size == before.st_size &&
         after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
         after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

// Gives the file at `place` the mode `mode` through a descriptor of it,
// checked to be `looked` (the file that was looked at), never by name: a
// name swapped for a link meanwhile would give the mode to whatever it
// names. A file that its owner may not read is changed through a path-only
// descriptor, by its /proc/self/fd name, which is that very file.
bool ChangeModeOf(const Place& place, const struct stat& looked, mode_t mode) {
  const int dir = place.dir();
  const char* name = place.name.c_str();
  struct stat st {};
  Fd file(::openat(dir, name,
                   O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  if (file.valid()) {
    return ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) &&
           SameFile(st, looked) && ::fchmod(file.get(), mode) == 0;
  }
  if (errno != EACCES) return false;
  file.reset(::openat(dir, name, O_PATH | O_CLOEXEC | O_NOFOLLOW));
  if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      !SameFile(st, looked)) {
    return false;
  }
  const std::string own = "/proc/self/fd/" + std::to_string(file.get());
  return ::chmod(own.c_str(), mode) == 0;
}

// The copy of CopyFileAt once the source is open as `source` (whose
// fstat() is `source_stat`): into a new temporary file beside the target,
// checked, open as *out and named *temp_name; the source is closed. False
// with errno and *report on failure, with nothing left behind.
bool CopyToTemp(Fd* source, const struct stat& source_stat, const Place& target,
                const ExpectedBytes* expected, CopyReport* report, int* out_fd,
                std::string* temp_name_out) {
  CopyReport::Problem* problem = &report->problem;
  const int in = source->get();
  // Never a set-id or sticky bit (a patch file must not become a program
  // that runs with the rights of whoever ran this), nor write for others.
  // The bits are given whatever the umask: open() gives them unless the
  // umask takes some away.
  const mode_t mode = CopiedMode(source_stat.st_mode);
  const int dir = target.dir();
  // A file of another size than the patch vouches for is refused before a
  // byte of it is read or written: it could be of any size at all.
  if (expected != nullptr && expected->size &&
      static_cast<std::uint64_t>(source_stat.st_size) != *expected->size) {
    *problem = CopyReport::Problem::kSizeMismatch;
    errno = EFBIG;
    return false;
  }
  const bool hashed = expected != nullptr && expected->sha256.has_value();
  std::string temp_name;
  // A file that is hashed through a mapping is ours alone until then: one
  // cut under the mapping would kill the run.
  const int out = CreateTempBeside(target, hashed ? 0600 : mode, &temp_name);
  if (out < 0) return false;
  const bool mode_given = !hashed && (mode & CurrentUmask()) == 0;
  const struct timespec times[2] = {source_stat.st_atim, source_stat.st_mtim};
  Sha256Digest digest;
  // Exactly the size fstat() gave is read: a file that grows meanwhile is
  // found changed below, never read on.
  bool ok = hashed ? CopyAndHash(in, out, source_stat.st_size, &digest)
                   : CopyData(in, out, source_stat.st_size);
  // A file still being written into the patch (or replaced there) is no
  // version of it at all.
  if (ok && !Unchanged(in, source_stat)) {
    *problem = CopyReport::Problem::kSourceChanged;
    errno = EAGAIN;
    ok = false;
  }
  if (ok && hashed && digest != *expected->sha256) {
    *problem = CopyReport::Problem::kChecksumMismatch;
    report->actual = digest;
    errno = EILSEQ;
    ok = false;
  }
  ok = ok && (mode_given || ::fchmod(out, mode) == 0) &&
       ::futimens(out, times) == 0;
  source->reset();
  if (!ok) {
    const int error = errno;
    ::close(out);
    ::unlinkat(dir, temp_name.c_str(), 0);
    errno = error;
    return false;
  }
  *out_fd = out;
  *temp_name_out = std::move(temp_name);
  return true;
}

// Why a copy may not replace the target whose lstat() is `st`: errno for
// a directory, and (`check_read_only`) a read-only file, which root could
// write anyway: the attribute decides, as on Windows. 0 when it may.
int TargetRefusal(const struct stat& st, bool check_read_only) {
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (check_read_only && !S_ISLNK(st.st_mode) &&
      (st.st_mode & kWriteBits) == 0) {
    return EACCES;
  }
  return 0;
}

// The source opened for a copy, or -1 with *report's problem set.
int OpenSource(const Place& source, struct stat* st, CopyReport* report) {
  const int fd = OpenFileAt(source, st);
  if (fd < 0 && errno == ELOOP) {
    report->problem = CopyReport::Problem::kSourceRefused;
  }
  return fd;
}

}  // namespace

FileStamp FileStamp::Of(const struct stat& st) {
  FileStamp stamp;
  stamp.dev = static_cast<unsigned long long>(st.st_dev);
  stamp.ino = static_cast<unsigned long long>(st.st_ino);
  stamp.size = static_cast<unsigned long long>(st.st_size);
  stamp.mtime_sec = static_cast<long long>(st.st_mtim.tv_sec);
  stamp.mtime_nsec = static_cast<long long>(st.st_mtim.tv_nsec);
  return stamp;
}

bool FileStamp::operator==(const FileStamp& other) const {
  return dev == other.dev && ino == other.ino && size == other.size &&
         mtime_sec == other.mtime_sec && mtime_nsec == other.mtime_nsec;
}

DWORD FileAttributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  if ((st.st_mode & kWriteBits) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool StatAt(const Place& place, struct stat* st, bool follow) {
  const int dir = place.dir();
  const char* name = place.name.c_str();
  if (!place.TakeLooked(st) &&
      ::fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  if (follow && S_ISLNK(st->st_mode)) {
    // What the link names is looked at, nothing more: a dangling link
    // counts as nothing there, as for stat().
    return ::fstatat(dir, name, st, 0) == 0;
  }
  return true;
}

bool SetFileAttributesAt(const Place& place, DWORD attributes,
                         const struct stat* known) {
  struct stat st {};
  if (known != nullptr) {
    st = *known;
  } else if (!StatAt(place, &st)) {
    return false;
  }
  // A link has no attributes of its own here; changing its target's would
  // reach whatever it points to, possibly outside the installation. The
  // copy replaces the link itself.
  if (S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode)) return true;
  mode_t mode = st.st_mode & 07777;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    mode &= ~kWriteBits;
  } else {
    mode |= kWriteBits & ~CurrentUmask();
  }
  if (mode == (st.st_mode & 07777)) return true;
  return ChangeModeOf(place, st, mode);
}

mode_t CopiedMode(mode_t source_mode) {
  // A patch unpacked from a zip or copied from a vfat or cifs mount often
  // gives every file 0666 or 0777: a module that another user may rewrite
  // would be code they choose for whoever loads it.
  return source_mode & 0755;
}

bool CopyFileAt(const Place& source, const Place& target, bool fail_if_exists,
                const struct stat* target_lstat, const ExpectedBytes* expected,
                CopyReport* report) {
  CopyReport own_report;
  CopyReport& result = report != nullptr ? *report : own_report;
  result = CopyReport();
  auto fail = [&result](CopyReport::Problem problem) {
    result.problem = problem;
    result.error = static_cast<std::uint32_t>(errno);
    return false;
  };
  struct stat target_stat {};
  if (target_lstat != nullptr) target_stat = *target_lstat;
  if (target_lstat != nullptr || StatAt(target, &target_stat)) {
    errno = fail_if_exists ? EEXIST : TargetRefusal(target_stat, true);
    if (errno != 0) return fail(CopyReport::Problem::kNone);
  }

  struct stat source_stat {};
  Fd in(OpenSource(source, &source_stat, &result));
  int out = -1;
  std::string temp_name;
  if (!in.valid() ||
      !CopyToTemp(&in, source_stat, target, expected, &result, &out,
                  &temp_name) ||
      !CommitTempIn(out, target.dir(), temp_name, target.name)) {
    return fail(result.problem);
  }
  return true;
}

bool StageCopyAt(const Place& source, const Place& target,
                 const ExpectedBytes* expected, std::string* temp_name,
                 CopyReport* report) {
  *report = CopyReport();
  struct stat target_stat {};
  if (StatAt(target, &target_stat) &&
      (errno = TargetRefusal(target_stat, false)) != 0) {
    report->error = static_cast<std::uint32_t>(errno);
    return false;
  }
  struct stat source_stat {};
  Fd in(OpenSource(source, &source_stat, report));
  int out = -1;
  if (!in.valid() || !CopyToTemp(&in, source_stat, target, expected, report,
                                 &out, temp_name)) {
    report->error = static_cast<std::uint32_t>(errno);
    return false;
  }
  // The data reaches the disk before the name does (PutStagedAt).
  bool ok = ::fsync(out) == 0;
  ok = ::close(out) == 0 && ok;
  if (!ok) {
    report->error = static_cast<std::uint32_t>(errno);
    ::unlinkat(target.dir(), temp_name->c_str(), 0);
    errno = static_cast<int>(report->error);
  }
  return ok;
}

bool PutStagedAt(int dir, const std::string& temp_name, const std::string& name,
                 CopyReport* report) {
  *report = CopyReport();
  struct stat st {};
  int error = 0;
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    error = TargetRefusal(st, true);
  }
  if (error == 0 &&
      ::renameat(dir, temp_name.c_str(), dir, name.c_str()) != 0) {
    error = errno;
  }
  if (error == 0) return true;
  ::unlinkat(dir, temp_name.c_str(), 0);
  report->error = static_cast<std::uint32_t>(error);
  errno = error;
  return false;
}

int OpenFileAt(const Place& place, struct stat* st) {
  // Non-blocking, so that a FIFO that nobody writes fails here instead of
  // stopping the run for ever, and a device (a link to /dev/zero) is not
  // read without end; a plain file reads the same either way.
  const int fd =
      ::openat(place.dir(), place.name.c_str(),
               O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
  if (fd < 0) return -1;
  if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

bool HashFileAt(const Place& place, Sha256Digest* digest) {
  struct stat st {};
  const int fd = OpenFileAt(place, &st);
  if (fd < 0) return false;
  Sha256 hash;
  // No larger than the file (one byte more, so that a second read sees its
  // end) and left unfilled: most modules are small, and a run may hash
  // thousands of them.
  const size_t size =
      static_cast<size_t>(std::clamp<off_t>(st.st_size + 1, 4096, 1 << 20));
  std::unique_ptr<char[]> buffer(new char[size]);
  for (;;) {
    const ssize_t n = ::read(fd, buffer.get(), size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    hash.Update(buffer.get(), static_cast<size_t>(n));
  }
  ::close(fd);
  return hash.Finish(digest);
}

bool ReadFileAt(const Place& place, std::string* contents,
                struct stat* read_stat, std::uint64_t max_bytes) {
  struct stat own_stat {};
  struct stat& st = read_stat != nullptr ? *read_stat : own_stat;
  int fd = OpenFileAt(place, &st);
  if (fd < 0) return false;
  auto too_large = [&] {
    ::close(fd);
    contents->clear();
    errno = EFBIG;
    return false;
  };
  if (static_cast<std::uint64_t>(st.st_size) > max_bytes) return too_large();
  // Straight into the string, one byte more than the size so that the
  // read that ends the file usually is the second one.
  size_t capacity = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096;
  contents->resize(capacity);
  size_t length = 0;
  for (;;) {
    if (length == contents->size()) contents->resize(contents->size() * 2);
    ssize_t n = ::read(fd, &(*contents)[length], contents->size() - length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      contents->clear();
      return false;
    }
    if (n == 0) break;
    length += static_cast<size_t>(n);
    // A file that grew since its fstat() is not read without end either.
    if (length > max_bytes) return too_large();
  }
  ::close(fd);
  contents->resize(length);
  return true;
}

}  // namespace ks::posix
