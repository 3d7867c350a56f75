#include "engine/module_list.h"

#include "engine/locations.h"
#include "engine/module_files.h"
#include "engine/module_names.h"
#include "trace/trace.h"

namespace ks {

namespace {

// One module's line of the report, or nowhere: a module updated without a
// report (a test's) records nothing.
class Recorder {
 public:
  explicit Recorder(ModuleRecord* record) : record_(record) {}

  // The result, with the system's error code of the call that failed.
  void Result(ModuleResult result, DWORD error = 0) {
    if (record_ == nullptr) return;
    record_->result = result;
    record_->error = error;
  }
  void Versions(const ModuleVersion& installed, const ModuleVersion& fresh) {
    if (record_ == nullptr) return;
    record_->installed_before = installed.strVersion;
    record_->installed_after = installed.strVersion;
    record_->new_version = fresh.strVersion;
  }
  void InstalledAfter(const std::string& version) {
    if (record_ != nullptr) record_->installed_after = version;
  }
  void MovedAside(bool moved) {
    if (record_ != nullptr) record_->moved_aside = moved;
  }

 private:
  ModuleRecord* record_;
};

// The module is left alone: the registry names no bin directory now, or
// another one than the run holds (`held_bin`), which it never checked.
bool NoInstallation(Platform& platform, const std::string& held_bin,
                    Recorder* recorder) {
  const std::string bin = Locations::GetInstallBinDir(platform);
  if (!bin.empty() && !held_bin.empty() && bin != held_bin) {
    Trace("    - Installation directory changed : %s -", bin.c_str());
  } else {
    Trace("    - Installation directory not found -");
  }
  recorder->Result(ModuleResult::kNoInstallation);
  return false;
}

// The line that says what `action` found, with the target's path where it
// has one; false when the path cannot be read again.
bool TraceDecision(Platform& platform, const std::string& held_bin,
                   const std::string& name, ModuleAction action) {
  const char* line = nullptr;
  switch (action) {
    case ModuleAction::kCopyMissing:
    case ModuleAction::kCopyBelowRecord:
      line = "    - File doesn't exist : %s -";
      break;
    case ModuleAction::kReplace:
      line = "    - Previous version will be replaced : %s -";
      break;
    case ModuleAction::kRepair:
      line = "    - Installed file differs from the patch : %s -";
      break;
    case ModuleAction::kCheckBytes:
    case ModuleAction::kKeepCurrent:
    case ModuleAction::kKeepNewer:
      Trace("    - Module updating doesn't occured -");
      return true;
  }
  std::string target;
  if (!Locations::InstalledFilePath(platform, name, &target, held_bin)) {
    return false;
  }
  Trace(line, target.c_str());
  return true;
}

}  // namespace

CModuleList::CModuleList(Platform& platform, const RunInputs& inputs,
                         const PatchManifest& manifest,
                         const InstallationLock* lock)
    : platform_(platform), inputs_(inputs), manifest_(manifest), lock_(lock) {}

CModuleList::~CModuleList() = default;

void CModuleList::AddModule(const std::string& name) {
  m_modules.push_back(name);
}

void CModuleList::ReadInstalledVersion(const std::string& name,
                                       ModuleVersion& version) {
  // Without the bin directory the run holds, the default of a missing
  // entry: never client.ver at the root of the drive, nor another bin's.
  std::string manifest;
  if (!BinPath(kInstalledManifestName, &manifest)) {
    version = VersionOf(kDefaultVersion);
    return;
  }
  ReadManifestVersion(platform_, manifest, name, version);
}

void CModuleList::ReadNewVersion(const std::string& name,
                                 ModuleVersion& version) {
  manifest_.ReadVersion(name, version);
}

void CModuleList::UpdateAll() {
  RunReport* report = inputs_.report;
  if (report != nullptr && report->modules.size() != m_modules.size()) {
    report->ListModules(m_modules);
  }
  for (size_t i = 0; i < m_modules.size(); ++i) {
    UpdateModule(m_modules[i],
                 report != nullptr ? &report->modules[i] : nullptr);
  }
}

bool CModuleList::UpdateModule(const std::string& name, ModuleRecord* record) {
  Recorder recorder(record);
  Trace("- Updating: %s -", name.c_str());
  // Without an installation every path would fall back to the root of the
  // current drive: write nothing there. Every use of a path in bin below
  // reads the registry again (see locations.h); a read that finds no
  // installation stops the module there, untouched, and a later run takes
  // it up again.
  std::string target;
  if (!BinPath(name, &target)) {
    return NoInstallation(platform_, inputs_.bin_dir, &recorder);
  }
  if (!MayWrite(name)) {
    Trace("    - Invalid module name -");
    recorder.Result(ModuleResult::kRefusedName);
    return false;
  }
  Sha256Digest digest;
  const ModuleChecksum checksum = manifest_.ReadChecksum(name, &digest);
  if (checksum == ModuleChecksum::kInvalid) {
    Trace("    - No valid checksum -");
    recorder.Result(ModuleResult::kNoChecksum);
    return false;
  }
  const Sha256Digest* expected =
      checksum == ModuleChecksum::kValid ? &digest : nullptr;

  ModuleVersion installed;
  ModuleVersion fresh;
  ReadInstalledVersion(name, installed);
  ReadNewVersion(name, fresh);
  recorder.Versions(installed, fresh);
  ModuleAction action = ModuleAction::kKeepCurrent;
  if (!Decide(name, installed, fresh, expected, &action) ||
      !TraceDecision(platform_, inputs_.bin_dir, name, action)) {
    return NoInstallation(platform_, inputs_.bin_dir, &recorder);
  }
  if (!Copies(action)) {
    recorder.Result(action == ModuleAction::kKeepNewer
                        ? ModuleResult::kNewerInstalled
                        : ModuleResult::kCurrent);
    return false;
  }
  if (inputs_.what_if) {
    Trace("    - What-if run: not copied -");
    recorder.Result(action == ModuleAction::kRepair ? ModuleResult::kWouldRepair
                                                    : ModuleResult::kWouldCopy);
    return false;
  }
  return CopyAndRecord(name, action, fresh, expected, record);
}

bool CModuleList::BinPath(const std::string& file_name, std::string* path) {
  return Locations::InstalledFilePath(platform_, file_name, path,
                                      inputs_.bin_dir);
}

bool CModuleList::MayWrite(const std::string& name) {
  std::string target;
  return IsSafeModuleName(name) &&
         !(lock_ != nullptr && BinPath(name, &target) &&
           lock_->IsLockFile(target.c_str()));
}

bool CModuleList::Decide(const std::string& name,
                         const ModuleVersion& installed,
                         const ModuleVersion& fresh,
                         const Sha256Digest* expected, ModuleAction* action) {
  std::string target;
  if (!BinPath(name, &target)) return false;
  ModuleFacts facts;
  facts.file_present = IsFileExist(platform_, target);
  facts.recorded = installed.strVersion != kDefaultVersion;
  facts.installed_version = installed.nVersion;
  facts.new_version = fresh.nVersion;
  facts.has_digest = expected != nullptr;
  *action = DecideModule(facts);
  if (*action == ModuleAction::kCheckBytes) {
    std::string manifest;
    Sha256Digest recorded;
    facts.has_recorded_digest =
        BinPath(kInstalledManifestName, &manifest) &&
        ReadRecordedDigest(platform_, manifest, name, &recorded);
    facts.bytes_match = FileHasDigest(
        platform_, target,
        CheckedAgainst(facts) == BytesReference::kRecorded ? recorded
                                                           : *expected);
    *action = DecideModule(facts);
  }
  return true;
}

bool CModuleList::CopyAndRecord(const std::string& name, ModuleAction action,
                                const ModuleVersion& fresh,
                                const Sha256Digest* expected,
                                ModuleRecord* record) {
  Recorder recorder(record);
  std::string target;
  // When the record cannot be removed, client.ver cannot be written at
  // all: the copy goes on, so that the client has its module, and the
  // record after it fails as well.
  if (action == ModuleAction::kCopyBelowRecord && RemoveRecord(name)) {
    recorder.InstalledAfter(kDefaultVersion);
  }
  // A file that is there loses its attributes (read-only, hidden) first.
  if (action == ModuleAction::kReplace || action == ModuleAction::kRepair) {
    if (!BinPath(name, &target)) {
      return NoInstallation(platform_, inputs_.bin_dir, &recorder);
    }
    SetFileAttr(platform_, target, FILE_ATTRIBUTE_NORMAL);
  }
  if (!BinPath(name, &target)) {
    return NoInstallation(platform_, inputs_.bin_dir, &recorder);
  }
  const std::string source = inputs_.locations.GetSourceDir() + "\\" + name;
  CopyReport report;
  if (!CopyModuleFile(platform_, source, target, expected, &report)) {
    const CopyFailure failure = DescribeCopyFailure(report.problem);
    if (failure.path != CopyFailure::Path::kNone) {
      Trace(failure.line, failure.path == CopyFailure::Path::kSource
                              ? source.c_str()
                              : target.c_str());
    } else if (failure.line != nullptr) {
      Trace("%s", failure.line);
    }
    Trace("    - Copy Failure -");
    recorder.Result(failure.result, report.error);
    return false;
  }
  recorder.MovedAside(report.moved_aside);
  Trace("    - Copy Success -");
  RecordCopy(name, action, fresh, expected, record);
  return true;
}

void CModuleList::RecordCopy(const std::string& name, ModuleAction action,
                             const ModuleVersion& fresh,
                             const Sha256Digest* expected,
                             ModuleRecord* record) {
  Recorder recorder(record);
  // A manifest path without the installation is not written, as a failed
  // write is not: the copy stands and a later run records it.
  std::string manifest;
  if (!BinPath(kInstalledManifestName, &manifest) ||
      !platform_.WritePrivateProfileStringA(kModulesSection, name.c_str(),
                                            fresh.strVersion.c_str(),
                                            manifest.c_str())) {
    recorder.Result(ModuleResult::kRecordFailed, platform_.LastError());
    return;
  }
  // A record reads back as written.
  recorder.InstalledAfter(fresh.strVersion);
  recorder.Result(action == ModuleAction::kRepair ? ModuleResult::kRepaired
                                                  : ModuleResult::kCopied);
  // Then the bytes put there, for a later run of this version to check the
  // file against (CheckedAgainst): the digest that the copy was checked
  // against; a copy without one leaves no record of other bytes. Without
  // this record a later run checks against its patch, as before: its
  // results are not looked at.
  Sha256Digest recorded;
  if (!BinPath(kInstalledManifestName, &manifest)) return;
  if (expected != nullptr) {
    platform_.WritePrivateProfileStringA(kChecksumSection, name.c_str(),
                                         Sha256Hex(*expected).c_str(),
                                         manifest.c_str());
  } else if (ReadRecordedDigest(platform_, manifest, name, &recorded)) {
    platform_.WritePrivateProfileStringA(kChecksumSection, name.c_str(),
                                         nullptr, manifest.c_str());
  }
}

bool CModuleList::RemoveRecord(const std::string& name) {
  std::string manifest;
  return BinPath(kInstalledManifestName, &manifest) &&
         platform_.WritePrivateProfileStringA(kModulesSection, name.c_str(),
                                              nullptr, manifest.c_str());
}

}  // namespace ks
