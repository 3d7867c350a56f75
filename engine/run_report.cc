#include "engine/run_report.h"

namespace ks {

int ExitStatusFor(DWORD outcome, bool whole_codes) {
  if (whole_codes) return static_cast<int>(outcome);
  switch (outcome) {
    case msi::kSuccess:
      return 0;
    case msi::kWouldChange:
      return 1;
    case msi::kRestartRequired:
      return 10;
    case msi::kNoInstallation:
      return 5;
    case msi::kNoSource:
      return 12;
    case msi::kBusy:
      return 18;
    case msi::kInvalidPatch:
      return 20;
    default:
      return 3;
  }
}

const char* ModuleResultName(ModuleResult result) {
  switch (result) {
    case ModuleResult::kNotReached:
      return "not reached";
    case ModuleResult::kCopied:
      return "copied";
    case ModuleResult::kRepaired:
      return "repaired";
    case ModuleResult::kCurrent:
      return "current";
    case ModuleResult::kNewerInstalled:
      return "newer installed";
    case ModuleResult::kRefusedName:
      return "refused name";
    case ModuleResult::kNoChecksum:
      return "no valid checksum";
    case ModuleResult::kNoSize:
      return "no valid size";
    case ModuleResult::kCopyFailed:
      return "copy failed";
    case ModuleResult::kChecksumMismatch:
      return "checksum mismatch";
    case ModuleResult::kSizeMismatch:
      return "size mismatch";
    case ModuleResult::kSourceChanged:
      return "patch file being written";
    case ModuleResult::kSourceRefused:
      return "patch file refused";
    case ModuleResult::kTargetRefused:
      return "target path refused";
    case ModuleResult::kRecordFailed:
      return "record failed";
    case ModuleResult::kNoInstallation:
      return "no installation";
    case ModuleResult::kWithheld:
      return "withheld";
    case ModuleResult::kWouldCopy:
      return "would copy";
    case ModuleResult::kWouldRepair:
      return "would repair";
  }
  return "?";
}

const char* RunEndName(RunEnd end) {
  switch (end) {
    case RunEnd::kCompleted:
      return "completed";
    case RunEnd::kNoSourceManifest:
      return "no source";
    case RunEnd::kManifestTooLarge:
      return "manifest too large";
    case RunEnd::kNoInstallation:
      return "no installation";
    case RunEnd::kRefused:
      return "installation refused";
    case RunEnd::kBusy:
      return "busy";
    case RunEnd::kUntrusted:
      return "not trusted";
    case RunEnd::kEmptyPatch:
      return "empty patch";
    case RunEnd::kException:
      return "error";
  }
  return "?";
}

bool IsFailure(ModuleResult result) {
  switch (result) {
    case ModuleResult::kCopied:
    case ModuleResult::kRepaired:
    case ModuleResult::kCurrent:
    case ModuleResult::kNewerInstalled:
    case ModuleResult::kWouldCopy:
    case ModuleResult::kWouldRepair:
      return false;
    default:
      return true;
  }
}

void RunReport::ListModules(const std::vector<std::string>& names) {
  modules.assign(names.size(), ModuleRecord());
  for (size_t i = 0; i < names.size(); ++i) modules[i].name = names[i];
}

DWORD RunReport::Outcome() const {
  switch (end) {
    case RunEnd::kBusy:
      return msi::kBusy;
    case RunEnd::kNoSourceManifest:
      return msi::kNoSource;
    case RunEnd::kEmptyPatch:
      return msi::kInvalidPatch;
    case RunEnd::kNoInstallation:
      return msi::kNoInstallation;
    case RunEnd::kManifestTooLarge:
    case RunEnd::kRefused:
    case RunEnd::kUntrusted:
    case RunEnd::kException:
      return msi::kFailure;
    case RunEnd::kCompleted:
      break;
  }
  bool would_change = false;
  bool moved_aside = false;
  for (const ModuleRecord& module : modules) {
    if (IsFailure(module.result)) return msi::kFailure;
    would_change = would_change || module.result == ModuleResult::kWouldCopy ||
                   module.result == ModuleResult::kWouldRepair;
    moved_aside = moved_aside || module.moved_aside;
  }
  if (what_if) return would_change ? msi::kWouldChange : msi::kSuccess;
  return moved_aside ? msi::kRestartRequired : msi::kSuccess;
}

}  // namespace ks
