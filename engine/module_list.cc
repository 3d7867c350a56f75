#include "engine/module_list.h"

#include "engine/locations.h"
#include "engine/module_files.h"
#include "engine/module_names.h"
#include "platform/platform.h"
#include "trace/trace.h"

namespace ks {

namespace {

bool NoInstallation() {
  Trace("    - Installation directory not found -");
  return false;
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
  for (const std::string& name : m_modules) UpdateModule(name);
}

bool CModuleList::UpdateModule(const std::string& name) {
  Trace("- Updating: %s -", name.c_str());
  // Without an installation every path would fall back to the root of the
  // current drive: write nothing there.
  if (GetInstallBinDir().empty()) return NoInstallation();
  std::string target;
  if (!IsSafeModuleName(name) ||
      (lock_ != nullptr && InstalledFilePath(name, &target) &&
       lock_->IsLockFile(target.c_str()))) {
    Trace("    - Invalid module name -");
    return false;
  }
  Sha256Digest digest;
  const ModuleChecksum checksum =
      ReadModuleChecksum(name, checksums_required_, &digest);
  if (checksum == ModuleChecksum::kInvalid) {
    Trace("    - No valid checksum -");
    return false;
  }
  const Sha256Digest* expected =
      checksum == ModuleChecksum::kValid ? &digest : nullptr;

  ModuleVersion installed_version;
  ModuleVersion new_version;
  ReadInstalledVersion(name, installed_version);
  ReadNewVersion(name, new_version);

  // Every use below reads the registry again (see locations.h); a read
  // that finds no installation stops the module there, untouched, and a
  // later run takes it up again.
  if (!InstalledFilePath(name, &target)) return NoInstallation();
  if (!IsFileExist(target)) {
    if (!InstalledFilePath(name, &target)) return NoInstallation();
    Trace("    - File doesn't exist : %s -", target.c_str());
  } else if (installed_version.nVersion < new_version.nVersion) {
    if (!InstalledFilePath(name, &target)) return NoInstallation();
    Trace("    - Previous version will be replaced : %s -", target.c_str());
    if (!InstalledFilePath(name, &target)) return NoInstallation();
    SetFileAttr(target, FILE_ATTRIBUTE_NORMAL);
  } else if (installed_version.nVersion == new_version.nVersion &&
             expected != nullptr && !FileHasDigest(target, *expected)) {
    // The version the patch brings, but not its bytes: a copy torn before
    // the checks, a damaged disk. Never over a newer version.
    if (!InstalledFilePath(name, &target)) return NoInstallation();
    Trace("    - Installed file differs from the patch : %s -", target.c_str());
    if (!InstalledFilePath(name, &target)) return NoInstallation();
    SetFileAttr(target, FILE_ATTRIBUTE_NORMAL);
  } else {
    Trace("    - Module updating doesn't occured -");
    return false;
  }

  if (!InstalledFilePath(name, &target)) return NoInstallation();
  const std::string source = GetSourceDir() + "\\" + name;
  CopyReport report;
  if (!CopyModuleFile(source, target, expected, &report)) {
    switch (report.problem) {
      case CopyReport::Problem::kChecksumMismatch:
        Trace("    - Checksum mismatch -");
        break;
      case CopyReport::Problem::kSourceChanged:
        Trace("    - Patch file is being written -");
        break;
      case CopyReport::Problem::kSourceRefused:
        Trace("    - Patch file refused : %s -", source.c_str());
        break;
      case CopyReport::Problem::kNone:
        break;
    }
    Trace("    - Copy Failure -");
    return false;
  }
  Trace("    - Copy Success -");
  // A manifest path without the installation is not written, as a failed
  // write is not: the copy stands and a later run records it.
  std::string manifest;
  if (InstalledFilePath(kInstalledManifestName, &manifest)) {
    WritePrivateProfileStringA(kModulesSection, name.c_str(),
                               new_version.strVersion.c_str(),
                               manifest.c_str());
  }
  return true;
}

}  // namespace ks
