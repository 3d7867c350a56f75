#include "engine/run_lock.h"

#include <string>

#include "engine/locations.h"
#include "trace/trace.h"

namespace ks {

bool LockForRun(std::unique_ptr<InstallationLock>* lock) {
  std::string bin = GetInstallBinDir();
  if (bin.empty()) return true;
  DWORD attributes = GetFileAttributesA(bin.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return true;
  }
  // A run with more rights than the installation's owner must not be
  // steered by what that owner controls.
  std::string refused;
  if (!TrustInstallation(bin.c_str(), &refused)) {
    Trace("    - Installation not owned by this user : %s -", refused.c_str());
    return false;
  }
  // From the bin directory just tested, not from another registry read.
  std::string path = bin + "\\" + kLockFileName;
  switch (LockInstallation(path.c_str(), kLockWaitMs, lock)) {
    case LockResult::kHeld:
      return true;
    case LockResult::kBusy:
      Trace("    - Another update is running -");
      return false;
    case LockResult::kFailed:
      break;
  }
  Trace("    - Installation lock failed : %s -", path.c_str());
  return true;
}

}  // namespace ks
