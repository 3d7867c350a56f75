// The per-module update: decide, copy, record. CModuleList::UpdateAll and
// CModuleList::UpdateModule are declared in module_list.h.
#ifndef KSUPDATE_ENGINE_MODULE_UPDATE_H_
#define KSUPDATE_ENGINE_MODULE_UPDATE_H_

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

// False for a name that would lead out of the bin directory: one that
// begins with a separator, holds a colon (a drive or a stream), or has a
// component of dots such as ".."; and for one with a component that
// Windows takes for a device (NUL, CON, COM1.txt, ...), on every platform.
bool IsSafeModuleName(const std::string& name);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MODULE_UPDATE_H_
