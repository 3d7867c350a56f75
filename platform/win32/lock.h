// The installation's lock on Windows: a byte-range lock on the lock file.
#ifndef KSUPDATE_PLATFORM_WIN32_LOCK_H_
#define KSUPDATE_PLATFORM_WIN32_LOCK_H_

#include <memory>

#include "platform/platform.h"

namespace ks {

// LockInstallation with the Win32 API: an exclusive LockFileEx on the
// first byte of `path`, opened or created with every sharing mode so that
// other runs can open it too, and a DACL that lets only Administrators,
// SYSTEM and (when the run is not elevated) the run's account open it at
// all: a reader's lock would hold every run off. An older lock file is
// given that DACL where this account may change it. kFailed when the file
// cannot be opened or made, is no disk file (a device or a pipe by that name),
// or the lock is refused for another reason than another holder. While the
// mutex Global\_MSIExecute exists (Windows Installer is installing), the
// lock is not taken: tried again as for another holder, kInstallerBusy.
LockResult Win32LockInstallation(LPCSTR path, DWORD timeout_ms,
                                 std::unique_ptr<InstallationLock>* lock);

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_WIN32_LOCK_H_
