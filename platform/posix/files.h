// File attributes and file copy on host paths, answering as Win32 does.
#ifndef KSUPDATE_PLATFORM_POSIX_FILES_H_
#define KSUPDATE_PLATFORM_POSIX_FILES_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/copy_report.h"
#include "platform/sha256.h"
#include "platform/win32_types.h"

namespace ks::posix {

// What tells one version of a file from another without reading it. A file
// written to or replaced shows another size, inode or modification time (to
// the nanosecond; the kernel gives a file that was looked at a fine-grained
// time at its next change).
struct FileStamp {
  unsigned long long dev = 0;
  unsigned long long ino = 0;
  unsigned long long size = 0;
  long long mtime_sec = 0;
  long long mtime_nsec = 0;

  static FileStamp Of(const struct stat& st);
  bool operator==(const FileStamp& other) const;
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// FILE_ATTRIBUTE_DIRECTORY for a directory; FILE_ATTRIBUTE_ARCHIVE for any
// other file, plus FILE_ATTRIBUTE_READONLY when its mode has no write bit.
DWORD FileAttributesOf(const struct stat& st);

// With FILE_ATTRIBUTE_READONLY, removes a file's write bits; without it,
// gives them back (as the umask allows). Directories and symbolic links are
// left as they are (a link's target is never changed). False when the path
// does not exist or its mode cannot be changed. `known`, when not null, is
// the path's lstat() just taken, which spares taking it again.
bool HostSetFileAttributes(const std::string& path, DWORD attributes,
                           const struct stat* known = nullptr);

// CopyFileA on host paths. Fails when the source is missing, a symbolic
// link (refused: a link in a patch could make a run with more rights copy
// a file its owner may not read) or no plain file (a directory, a FIFO, a
// device), the target is a directory or a read-only file, the target's
// directory is missing, or fail_if_exists and the target exists; when the
// source changes while it is copied (its size, inode or modification time
// differ after); and, with `expected`, when the bytes written do not have
// that SHA-256. Otherwise the target is replaced atomically by a copy
// holding the source's bytes, permission bits (never set-uid, set-gid or
// sticky) and modification time; a symbolic link at the target is
// replaced, not written through. No temporary file is left, whatever
// happens. The data reaches the disk before the new name does.
// `target_lstat`, when not null, is the target's lstat() just taken (the
// target exists), which spares taking it again. `report`, when not null,
// gets what the copy found and, on failure, the errno of the failed call.
bool HostCopyFile(const std::string& source, const std::string& target,
                  bool fail_if_exists,
                  const struct stat* target_lstat = nullptr,
                  const Sha256Digest* expected = nullptr,
                  CopyReport* report = nullptr);

// The SHA-256 of a whole regular file (a link is followed); false when it
// is missing, no plain file or cannot be read.
bool HashHostFile(const std::string& path, Sha256Digest* digest);

// Reads a whole regular file. False when it is missing, no plain file (a
// directory, a FIFO, a device) or unreadable, or (errno EFBIG) holds more
// than `max_bytes`. `st`, when not null, gets the fstat() of what was read.
bool ReadHostFile(const std::string& path, std::string* contents,
                  struct stat* st = nullptr,
                  std::uint64_t max_bytes = UINT64_MAX);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_FILES_H_
