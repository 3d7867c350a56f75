#include "engine/module_list.h"

#include "engine/locations.h"
#include "engine/module_files.h"
#include "engine/module_names.h"
#include "engine/run_report.h"
#include "platform/platform.h"
#include "trace/trace.h"

namespace ks {

namespace {

// One module's line of the report, or nowhere: a run without a report (a
// test's list) records nothing.
class Recorder {
 public:
  explicit Recorder(ModuleRecord* record) : record_(record) {}

  // The result, with the system's error code of the call that failed.
  bool Result(ModuleResult result, DWORD error = 0) {
    if (record_ != nullptr) {
      record_->result = result;
      record_->error = error;
    }
    return result == ModuleResult::kCopied || result == ModuleResult::kRepaired;
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

bool NoInstallation(Recorder* recorder) {
  Trace("    - Installation directory not found -");
  return recorder->Result(ModuleResult::kNoInstallation);
}

}  // namespace

CModuleList::~CModuleList() = default;

void CModuleList::AddModule(const std::string& name) {
  m_modules.push_back(name);
}

void CModuleList::ReadInstalledVersion(const std::string& name,
                                       ModuleVersion& version) {
  ReadManifestVersion(GetInstalledManifestPath(), name, version);
}

void CModuleList::ReadNewVersion(const std::string& name,
                                 ModuleVersion& version) {
  ReadManifestVersion(GetSourceManifestPath(), name, version);
}

void CModuleList::UpdateAll() {
  RunReport* report = context_.report;
  if (report != nullptr && report->modules.size() != m_modules.size()) {
    report->ListModules(m_modules);
  }
  for (size_t i = 0; i < m_modules.size(); ++i) {
    record_ = report != nullptr ? &report->modules[i] : nullptr;
    UpdateModule(m_modules[i]);
  }
  record_ = nullptr;
}

bool CModuleList::UpdateModule(const std::string& name) {
  Recorder recorder(record_);
  Trace("- Updating: %s -", name.c_str());
  // Without an installation every path would fall back to the root of the
  // current drive: write nothing there.
  if (GetInstallBinDir().empty()) return NoInstallation(&recorder);
  std::string target;
  if (!IsSafeModuleName(name) ||
      (context_.lock != nullptr && InstalledFilePath(name, &target) &&
       context_.lock->IsLockFile(target.c_str()))) {
    Trace("    - Invalid module name -");
    return recorder.Result(ModuleResult::kRefusedName);
  }
  Sha256Digest digest;
  const ModuleChecksum checksum =
      ReadModuleChecksum(name, context_.checksums_required, &digest);
  if (checksum == ModuleChecksum::kInvalid) {
    Trace("    - No valid checksum -");
    return recorder.Result(ModuleResult::kNoChecksum);
  }
  const Sha256Digest* expected =
      checksum == ModuleChecksum::kValid ? &digest : nullptr;

  ModuleVersion installed_version;
  ModuleVersion new_version;
  ReadInstalledVersion(name, installed_version);
  ReadNewVersion(name, new_version);
  recorder.Versions(installed_version, new_version);

  // Every use below reads the registry again (see locations.h); a read
  // that finds no installation stops the module there, untouched, and a
  // later run takes it up again.
  bool repair = false;
  bool replace = false;  // a file is there, and its attributes go
  if (!InstalledFilePath(name, &target)) return NoInstallation(&recorder);
  if (!IsFileExist(target)) {
    if (!InstalledFilePath(name, &target)) return NoInstallation(&recorder);
    Trace("    - File doesn't exist : %s -", target.c_str());
  } else if (installed_version.nVersion < new_version.nVersion) {
    if (!InstalledFilePath(name, &target)) return NoInstallation(&recorder);
    Trace("    - Previous version will be replaced : %s -", target.c_str());
    replace = true;
  } else if (installed_version.nVersion == new_version.nVersion &&
             expected != nullptr && !FileHasDigest(target, *expected)) {
    // The version the patch brings, but not its bytes: a copy torn before
    // the checks, a damaged disk. Never over a newer version.
    repair = true;
    replace = true;
    if (!InstalledFilePath(name, &target)) return NoInstallation(&recorder);
    Trace("    - Installed file differs from the patch : %s -", target.c_str());
  } else {
    Trace("    - Module updating doesn't occured -");
    return recorder.Result(installed_version.nVersion == new_version.nVersion
                               ? ModuleResult::kCurrent
                               : ModuleResult::kNewerInstalled);
  }
  if (context_.what_if) {
    Trace("    - What-if run: not copied -");
    return recorder.Result(repair ? ModuleResult::kWouldRepair
                                  : ModuleResult::kWouldCopy);
  }
  // A file that is there loses its attributes (read-only, hidden) first.
  if (replace) {
    if (!InstalledFilePath(name, &target)) return NoInstallation(&recorder);
    SetFileAttr(target, FILE_ATTRIBUTE_NORMAL);
  }

  if (!InstalledFilePath(name, &target)) return NoInstallation(&recorder);
  const std::string source = GetSourceDir() + "\\" + name;
  CopyReport report;
  if (!CopyModuleFile(source, target, expected, &report)) {
    ModuleResult result = ModuleResult::kCopyFailed;
    switch (report.problem) {
      case CopyReport::Problem::kChecksumMismatch:
        Trace("    - Checksum mismatch -");
        result = ModuleResult::kChecksumMismatch;
        break;
      case CopyReport::Problem::kSourceChanged:
        Trace("    - Patch file is being written -");
        result = ModuleResult::kSourceChanged;
        break;
      case CopyReport::Problem::kSourceRefused:
        Trace("    - Patch file refused : %s -", source.c_str());
        result = ModuleResult::kSourceRefused;
        break;
      case CopyReport::Problem::kNone:
        break;
    }
    Trace("    - Copy Failure -");
    return recorder.Result(result, report.error);
  }
  recorder.MovedAside(report.moved_aside);
  Trace("    - Copy Success -");
  // A manifest path without the installation is not written, as a failed
  // write is not: the copy stands and a later run records it.
  std::string manifest;
  if (!InstalledFilePath(kInstalledManifestName, &manifest) ||
      !WritePrivateProfileStringA(kModulesSection, name.c_str(),
                                  new_version.strVersion.c_str(),
                                  manifest.c_str())) {
    recorder.Result(ModuleResult::kRecordFailed, LastError());
    return true;
  }
  // A record reads back as written.
  recorder.InstalledAfter(new_version.strVersion);
  return recorder.Result(repair ? ModuleResult::kRepaired
                                : ModuleResult::kCopied);
}

}  // namespace ks
