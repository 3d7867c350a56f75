// The file operations of a module's update, on the platform's calls.
#ifndef KSUPDATE_ENGINE_MODULE_FILES_H_
#define KSUPDATE_ENGINE_MODULE_FILES_H_

#include <string>

#include "platform/win32_types.h"

namespace ks {

// True when `path` names an existing file that is not a directory.
bool IsFileExist(const std::string& path);

// True when SetFileAttributesA returned exactly 1.
bool SetFileAttr(const std::string& path, DWORD attributes);

// Copies `source` over `target` (an existing target is replaced). True when
// CopyFileA succeeded.
bool CopyModuleFile(const std::string& source, const std::string& target);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MODULE_FILES_H_
