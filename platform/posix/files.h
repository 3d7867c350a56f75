// File attributes, copies and reads on the host, answering as Win32 does;
// every file is named by its place: a directory held open and a name in
// it (held_dirs.h), so that nothing between a check and a use can lead
// the call elsewhere.
#ifndef KSUPDATE_PLATFORM_POSIX_FILES_H_
#define KSUPDATE_PLATFORM_POSIX_FILES_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "formats/win32_types.h"
#include "platform/copy_report.h"
#include "platform/posix/held_dirs.h"
#include "platform/sha256.h"

namespace ks::posix {

// Sizes and offsets of files are off_t here: a build where it has 32 bits
// (a 32-bit build without large-file support) would take a file of 2 GiB or
// more for a missing one.
static_assert(sizeof(off_t) == 8, "off_t must have 64 bits");

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

// True when `a` and `b` are the same file (device and inode).
bool SameFile(const struct stat& a, const struct stat& b);

// FILE_ATTRIBUTE_DIRECTORY for a directory; FILE_ATTRIBUTE_ARCHIVE for any
// other file, plus FILE_ATTRIBUTE_READONLY when its mode has no write bit.
DWORD FileAttributesOf(const struct stat& st);

// The lstat() of the place's entry (the one its lookup took, the first
// time a place that has one is asked); with `follow`, a symbolic link there is
// answered for by what it names (a look, never a read or a write). False
// when nothing is there.
bool StatAt(const Place& place, struct stat* st, bool follow = false);

// With FILE_ATTRIBUTE_READONLY, removes a file's write bits; without it,
// gives them back (as the umask allows). Directories and symbolic links are
// left as they are (a link's target is never changed). The mode is changed
// through a descriptor of the file, checked to be the one looked at, never
// by name. False when nothing is there or its mode cannot be changed.
// `known`, when not null, is the place's lstat() just taken.
bool SetFileAttributesAt(const Place& place, DWORD attributes,
                         const struct stat* known = nullptr);

// CopyFileA from one place to another. Fails when the source is missing, a
// symbolic link (refused: a link in a patch could make a run with more
// rights copy a file its owner may not read) or no plain file (a
// directory, a FIFO, a device), the target is a directory or a read-only
// file, or fail_if_exists and the target exists; when the source changes
// while it is copied (its size, inode or modification time differ after);
// and, with `expected`, when the source is not of its size (refused before a
// byte is read) or the bytes written do not have its SHA-256.
// Otherwise the target is replaced atomically by a copy holding the
// source's bytes and modification time, and its permission bits without
// group or other write, set-uid, set-gid or sticky bits (CopiedMode); a
// symbolic link
// at the target is replaced, not written through. No temporary file is
// left, whatever happens. The data reaches the disk before the new name
// does. `target_lstat`, when not null, is the target's lstat() just taken
// (the target exists). `report`, when not null, gets what the copy found
// and, on failure, the errno of the failed call.
bool CopyFileAt(const Place& source, const Place& target, bool fail_if_exists,
                const struct stat* target_lstat = nullptr,
                const ExpectedBytes* expected = nullptr,
                CopyReport* report = nullptr);

// CopyFileAt's copy into a new temporary file beside `target`, checked as
// it checks, flushed to disk and closed, its name in *temp_name; the
// target is not touched (a read-only one is no refusal here: PutStagedAt
// refuses it). False with *report (its problem and errno) and nothing left.
bool StageCopyAt(const Place& source, const Place& target,
                 const ExpectedBytes* expected, std::string* temp_name,
                 CopyReport* report);

// Renames the staged copy `temp_name` over `name`, both in `dir`, unless
// CopyFileAt would refuse the target there (a directory, a read-only
// file); the rename is not made durable. False with *report's errno, the
// staged copy removed.
bool PutStagedAt(int dir, const std::string& temp_name, const std::string& name,
                 CopyReport* report);

// The mode a copied module gets: the patch file's permission bits less
// group and other write, set-uid, set-gid and sticky bits (0666 gives
// 0644, 0777 gives 0755, 0640 stays).
mode_t CopiedMode(mode_t source_mode);

// Opens the place's file for reading, without following a link there and
// without waiting (a FIFO that nobody writes fails at once); -1 (errno
// EACCES) for anything but a plain file, ELOOP for a link. *st gets its
// fstat().
int OpenFileAt(const Place& place, struct stat* st);

// The SHA-256 of a whole regular file; false when it is missing, a link,
// no plain file or cannot be read.
bool HashFileAt(const Place& place, Sha256Digest* digest);

// Reads a whole regular file. False when it is missing, a link, no plain
// file (a directory, a FIFO, a device) or unreadable, or (errno EFBIG)
// holds more than `max_bytes` (then nothing beyond the bound is read).
// `st`, when not null, gets the fstat() of what was read.
bool ReadFileAt(const Place& place, std::string* contents, struct stat* st,
                std::uint64_t max_bytes);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_FILES_H_
