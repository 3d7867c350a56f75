// Replacing a file so that readers and crashes only ever see the old or the
// new content.
#ifndef KSUPDATE_PLATFORM_POSIX_ATOMIC_FILE_H_
#define KSUPDATE_PLATFORM_POSIX_ATOMIC_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace ks::posix {

// Writes `data` into a temporary file in the directory of `path`, flushes it
// to disk and renames it over `path`. The new file gets `mode` (before the
// umask) when `path` did not exist and the old file's mode when it did.
// A symbolic link at `path` is replaced, never written through.
// Returns true on success; on failure `path` is unchanged and no temporary
// file is left.
// `old_lstat`, when not null, is the lstat() of `path` just taken (the file
// exists), which spares taking it again; `written`, when not null, gets on
// success the fstat() of the new file, which is what a stat() of `path`
// gives until it changes again.
bool ReplaceFileContents(const std::string& path, const std::string& data,
                         mode_t mode, const struct stat* old_lstat,
                         struct stat* written);

// Creates a new, empty temporary file in the directory of `path`, with
// permission bits 0600. Returns its descriptor and sets *temp_path, or
// returns -1 when the directory is missing or not writable. The first time
// in a process that a directory gets a temporary file, the temporary files
// that a killed run left there are removed.
int CreateTempBeside(const std::string& path, std::string* temp_path);

// Flushes `fd` to disk, closes it and renames `temp_path` over `path`.
// On any failure the temporary file is removed and false returned; `fd` is
// closed either way.
bool CommitTemp(int fd, const std::string& temp_path, const std::string& path);

// The process's file-creation mask, which it leaves unchanged.
mode_t CurrentUmask();

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_ATOMIC_FILE_H_
