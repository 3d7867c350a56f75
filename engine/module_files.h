// The file operations of a module's update, on the platform's calls.
#ifndef KSUPDATE_ENGINE_MODULE_FILES_H_
#define KSUPDATE_ENGINE_MODULE_FILES_H_

#include <string>

#include "platform/platform.h"

namespace ks {

// True when `path` names an existing file that is not a directory.
bool IsFileExist(Platform& platform, const std::string& path);

// True when SetFileAttributesA returned exactly 1.
bool SetFileAttr(Platform& platform, const std::string& path, DWORD attributes);

// Copies `source` over `target` (an existing target is replaced). True when
// CopyFileA succeeded. With `expected`, the copy is put in place only when
// its bytes have that SHA-256; *report gets what the copy found.
bool CopyModuleFile(Platform& platform, const std::string& source,
                    const std::string& target,
                    const ExpectedBytes* expected = nullptr,
                    CopyReport* report = nullptr);

// True when the file at `path` reads whole and its SHA-256 is `expected`.
bool FileHasDigest(Platform& platform, const std::string& path,
                   const Sha256Digest& expected);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MODULE_FILES_H_
