#include "engine/update_rule.h"

namespace ks {

ModuleAction DecideModule(const ModuleFacts& facts) {
  if (!facts.file_present) {
    return facts.recorded && facts.installed_version >= facts.new_version
               ? ModuleAction::kCopyBelowRecord
               : ModuleAction::kCopyMissing;
  }
  if (facts.installed_version < facts.new_version) {
    return ModuleAction::kReplace;
  }
  if (facts.installed_version > facts.new_version) {
    return facts.downgrade ? ModuleAction::kDowngrade
                           : ModuleAction::kKeepNewer;
  }
  if (!facts.has_digest) return ModuleAction::kKeepCurrent;
  if (!facts.bytes_match.has_value()) return ModuleAction::kCheckBytes;
  return *facts.bytes_match ? ModuleAction::kKeepCurrent
                            : ModuleAction::kRepair;
}

BytesReference CheckedAgainst(const ModuleFacts& facts) {
  return facts.has_recorded_digest ? BytesReference::kRecorded
                                   : BytesReference::kPatch;
}

bool Copies(ModuleAction action) {
  switch (action) {
    case ModuleAction::kCopyMissing:
    case ModuleAction::kCopyBelowRecord:
    case ModuleAction::kReplace:
    case ModuleAction::kRepair:
    case ModuleAction::kDowngrade:
      return true;
    case ModuleAction::kCheckBytes:
    case ModuleAction::kKeepCurrent:
    case ModuleAction::kKeepNewer:
      return false;
  }
  return false;
}

bool RemovesRecordFirst(ModuleAction action) {
  return action == ModuleAction::kCopyBelowRecord ||
         action == ModuleAction::kDowngrade;
}

bool ReplacesFile(ModuleAction action) {
  return action == ModuleAction::kReplace || action == ModuleAction::kRepair ||
         action == ModuleAction::kDowngrade;
}

Verdict VerdictOf(ModuleAction action) {
  switch (action) {
    case ModuleAction::kCopyMissing:
    case ModuleAction::kCopyBelowRecord:
      return {"    - File doesn't exist : %s -", true, ModuleResult::kCopied,
              ModuleResult::kWouldCopy};
    case ModuleAction::kReplace:
      return {"    - Previous version will be replaced : %s -", true,
              ModuleResult::kCopied, ModuleResult::kWouldCopy};
    case ModuleAction::kDowngrade:
      return {"    - Newer version will be replaced : %s -", true,
              ModuleResult::kCopied, ModuleResult::kWouldCopy};
    case ModuleAction::kRepair:
      return {"    - Installed file differs from the patch : %s -", true,
              ModuleResult::kRepaired, ModuleResult::kWouldRepair};
    case ModuleAction::kKeepNewer:
      return {"    - Module updating doesn't occured -", false,
              ModuleResult::kNewerInstalled, ModuleResult::kNewerInstalled};
    case ModuleAction::kCheckBytes:
    case ModuleAction::kKeepCurrent:
      break;
  }
  return {"    - Module updating doesn't occured -", false,
          ModuleResult::kCurrent, ModuleResult::kCurrent};
}

CopyFailure DescribeCopyFailure(CopyReport::Problem problem) {
  using Path = CopyFailure::Path;
  switch (problem) {
    case CopyReport::Problem::kChecksumMismatch:
      return {ModuleResult::kChecksumMismatch, "    - Checksum mismatch -",
              Path::kNone};
    case CopyReport::Problem::kSizeMismatch:
      return {ModuleResult::kSizeMismatch, "    - Size mismatch -",
              Path::kNone};
    case CopyReport::Problem::kSourceChanged:
      return {ModuleResult::kSourceChanged,
              "    - Patch file is being written -", Path::kNone};
    case CopyReport::Problem::kSourceRefused:
      return {ModuleResult::kSourceRefused, "    - Patch file refused : %s -",
              Path::kSource};
    case CopyReport::Problem::kTargetRefused:
      return {ModuleResult::kTargetRefused, "    - Target path refused : %s -",
              Path::kTarget};
    case CopyReport::Problem::kNone:
      break;
  }
  return {ModuleResult::kCopyFailed, nullptr, Path::kNone};
}

}  // namespace ks
