// File attributes and file copy on host paths, answering as Win32 does.
#ifndef KSUPDATE_PLATFORM_POSIX_FILES_H_
#define KSUPDATE_PLATFORM_POSIX_FILES_H_

#include <string>

#include "platform/win32_types.h"

namespace ks::posix {

// FILE_ATTRIBUTE_DIRECTORY for a directory; FILE_ATTRIBUTE_ARCHIVE for any
// other file, plus FILE_ATTRIBUTE_READONLY when its mode has no write bit;
// INVALID_FILE_ATTRIBUTES when nothing is there.
DWORD HostFileAttributes(const std::string& path);

// With FILE_ATTRIBUTE_READONLY, removes a file's write bits; without it,
// gives them back (as the umask allows). Directories and symbolic links are
// left as they are (a link's target is never changed). False when the path does
// not exist or its mode cannot be changed.
bool HostSetFileAttributes(const std::string& path, DWORD attributes);

// CopyFileA on host paths. Fails when the source is missing or a directory,
// the target is a directory or a read-only file, the target's directory is
// missing, or fail_if_exists and the target exists. Otherwise the target is
// replaced atomically by a copy holding the source's bytes, permission bits
// and modification time; a symbolic link at the target is replaced, not
// written through. No temporary file is left, whatever happens.
bool HostCopyFile(const std::string& source, const std::string& target,
                  bool fail_if_exists);

// Reads a whole regular file. False when it is missing, a directory or
// unreadable.
bool ReadHostFile(const std::string& path, std::string* contents);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_FILES_H_
