#include "engine/run_lock.h"

#include <string>

#include "engine/locations.h"
#include "trace/trace.h"

namespace ks {

const char* RefusalLine(Refusal why) {
  switch (why) {
    case Refusal::kNotOwned:
      break;
    case Refusal::kWritableByOthers:
      return "    - Installation writable by others : %s -";
    case Refusal::kLink:
      return "    - Link on the way to the installation : %s -";
    case Refusal::kTooLarge:
      return "    - Registry file too large : %s -";
  }
  return "    - Installation not owned by this user : %s -";
}

RunStart LockForRun(Platform& platform, bool take_lock,
                    std::unique_ptr<InstallationLock>* lock,
                    std::string* bin_dir) {
  const RunStart start = CheckInstallation(platform, bin_dir);
  if (start != RunStart::kGoOn || !take_lock) return start;
  return TakeRunLock(platform, *bin_dir, lock);
}

RunStart CheckInstallation(Platform& platform, std::string* bin_dir) {
  const std::string bin = Locations::GetInstallBinDir(platform);
  *bin_dir = bin;
  // A run with more rights than the installation's owner must not be
  // steered by what others control; asked before bin is looked at, so that
  // what cannot be trusted is not read, and also when bin is missing, so
  // that nobody else can be the one to make it.
  InstallationRefusal refused;
  if (!platform.TrustInstallation(bin.empty() ? nullptr : bin.c_str(),
                                  &refused)) {
    Trace(RefusalLine(refused.why), refused.path.c_str());
    return RunStart::kRefused;
  }
  if (bin.empty()) {
    // Each module says "not found"; a trace file says where it looked.
    NoteInChannel("--- no installation: no value %s of HKEY_LOCAL_MACHINE\\%s",
                  kRegistryValueName, kRegistryKeyPath);
    return RunStart::kNoInstallation;
  }
  const DWORD attributes = platform.GetFileAttributesA(bin.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      NoteInChannel("--- no installation: %s is no directory", bin.c_str());
    } else if (NotesGoAnywhere()) {
      NoteErrorInChannel(platform.LastError(), bin);
    }
    return RunStart::kNoInstallation;
  }
  return RunStart::kGoOn;
}

RunStart TakeRunLock(Platform& platform, const std::string& bin_dir,
                     std::unique_ptr<InstallationLock>* lock) {
  // From the bin directory tested, not from another registry read.
  std::string path = bin_dir + "\\" + kLockFileName;
  // Once at once, then, when another run holds it, with the whole wait: a
  // reader of the trace file sees the wait begin and end.
  LockResult result = platform.LockInstallation(path.c_str(), 0, lock);
  if (result == LockResult::kBusy || result == LockResult::kInstallerBusy) {
    NoteInChannel(result == LockResult::kBusy
                      ? "    - Waiting for another update to end -"
                      : "    - Waiting for Windows Installer to end -");
    result = platform.LockInstallation(path.c_str(), kLockWaitMs, lock);
    if (result == LockResult::kHeld) {
      NoteInChannel("    - The other update ended: going on -");
    }
  }
  switch (result) {
    case LockResult::kHeld:
      platform.RemoveStaleTemps(bin_dir.c_str());
      return RunStart::kGoOn;
    case LockResult::kBusy:
      Trace("    - Another update is running -");
      return RunStart::kBusy;
    case LockResult::kInstallerBusy:
      Trace("    - Windows Installer is running -");
      return RunStart::kBusy;
    case LockResult::kFailed:
      break;
  }
  Trace("    - Installation lock failed : %s -", path.c_str());
  if (NotesGoAnywhere()) NoteErrorInChannel(platform.LastError(), path);
  return RunStart::kGoOn;
}

}  // namespace ks
