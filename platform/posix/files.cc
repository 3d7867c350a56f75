#include "platform/posix/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/posix/atomic_file.h"
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

// Opens a plain file for reading; -1 for anything else. Non-blocking, so
// that a FIFO that nobody writes fails here instead of stopping the run
// for ever, and a device (a link to /dev/zero) is not read without end;
// a plain file reads the same either way. *st gets the file's fstat().
int OpenRegularFile(const std::string& path, struct stat* st) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    ::close(fd);
    return -1;
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

bool HostSetFileAttributes(const std::string& path, DWORD attributes,
                           const struct stat* known) {
  struct stat st {};
  if (known != nullptr) {
    st = *known;
  } else if (::lstat(path.c_str(), &st) != 0) {
    return false;
  }
  // A link has no attributes of its own here; changing its target's would
  // reach whatever it points to, possibly outside the installation. The
  // copy replaces the link itself.
  if (S_ISLNK(st.st_mode)) return true;
  if (S_ISDIR(st.st_mode)) return true;
  mode_t mode = st.st_mode & 07777;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    mode &= ~kWriteBits;
  } else {
    mode |= kWriteBits & ~CurrentUmask();
  }
  if (mode == (st.st_mode & 07777)) return true;
  return ::chmod(path.c_str(), mode) == 0;
}

bool HostCopyFile(const std::string& source, const std::string& target,
                  bool fail_if_exists, const struct stat* target_lstat) {
  struct stat target_stat {};
  if (target_lstat != nullptr) target_stat = *target_lstat;
  if (target_lstat != nullptr || ::lstat(target.c_str(), &target_stat) == 0) {
    if (fail_if_exists) return false;
    if (S_ISDIR(target_stat.st_mode)) return false;
    // Root could write anyway: the attribute decides, as on Windows.
    if (!S_ISLNK(target_stat.st_mode) &&
        (target_stat.st_mode & kWriteBits) == 0) {
      return false;
    }
  }

  struct stat source_stat {};
  int in = OpenRegularFile(source, &source_stat);
  if (in < 0) return false;

  // The copy gets the source's mode bits, whatever the umask: open() gives
  // them unless the umask takes some away or they are set-id bits.
  const mode_t mode = source_stat.st_mode & 07777;
  std::string temp_path;
  int out = CreateTempBeside(target, mode, &temp_path);
  if (out < 0) {
    ::close(in);
    return false;
  }
  const bool mode_given = mode <= 0777 && (mode & CurrentUmask()) == 0;
  const struct timespec times[2] = {source_stat.st_atim, source_stat.st_mtim};
  bool ok = CopyData(in, out, source_stat.st_size) &&
            (mode_given || ::fchmod(out, mode) == 0) &&
            ::futimens(out, times) == 0;
  ::close(in);
  if (!ok) {
    ::close(out);
    ::unlink(temp_path.c_str());
    return false;
  }
  return CommitTemp(out, temp_path, target);
}

bool ReadHostFile(const std::string& path, std::string* contents,
                  struct stat* read_stat) {
  struct stat own_stat {};
  struct stat& st = read_stat != nullptr ? *read_stat : own_stat;
  int fd = OpenRegularFile(path, &st);
  if (fd < 0) return false;
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
  }
  ::close(fd);
  contents->resize(length);
  return true;
}

}  // namespace ks::posix
