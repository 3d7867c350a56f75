#include "engine/run_lock.h"

#include <string>

#include "engine/locations.h"
#include "trace/trace.h"

namespace ks {

RunStart LockForRun(Platform& platform, bool take_lock,
                    std::unique_ptr<InstallationLock>* lock) {
  std::string bin = Locations::GetInstallBinDir(platform);
  if (bin.empty()) return RunStart::kNoInstallation;
  DWORD attributes = platform.GetFileAttributesA(bin.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return RunStart::kNoInstallation;
  }
  // A run with more rights than the installation's owner must not be
  // steered by what that owner controls.
  std::string refused;
  if (!platform.TrustInstallation(bin.c_str(), &refused)) {
    Trace("    - Installation not owned by this user : %s -", refused.c_str());
    return RunStart::kRefused;
  }
  if (!take_lock) return RunStart::kGoOn;
  // From the bin directory just tested, not from another registry read.
  std::string path = bin + "\\" + kLockFileName;
  // Once at once, then, when another run holds it, with the whole wait: a
  // reader of the trace file sees the wait begin and end.
  LockResult result = platform.LockInstallation(path.c_str(), 0, lock);
  if (result == LockResult::kBusy) {
    NoteInChannel("    - Waiting for another update to end -");
    result = platform.LockInstallation(path.c_str(), kLockWaitMs, lock);
    if (result == LockResult::kHeld) {
      NoteInChannel("    - The other update ended: going on -");
    }
  }
  switch (result) {
    case LockResult::kHeld:
      return RunStart::kGoOn;
    case LockResult::kBusy:
      Trace("    - Another update is running -");
      return RunStart::kBusy;
    case LockResult::kFailed:
      break;
  }
  Trace("    - Installation lock failed : %s -", path.c_str());
  return RunStart::kGoOn;
}

}  // namespace ks
