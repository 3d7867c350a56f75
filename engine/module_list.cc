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
  if (!IsSafeModuleName(name)) {
    Trace("    - Invalid module name -");
    return false;
  }

  ModuleVersion installed_version;
  ModuleVersion new_version;
  ReadInstalledVersion(name, installed_version);
  ReadNewVersion(name, new_version);

  // Every use below reads the registry again (see locations.h); a read
  // that finds no installation stops the module there, untouched, and a
  // later run takes it up again.
  std::string target;
  if (!InstalledFilePath(name, &target)) return NoInstallation();
  if (!IsFileExist(target)) {
    if (!InstalledFilePath(name, &target)) return NoInstallation();
    Trace("    - File doesn't exist : %s -", target.c_str());
  } else if (installed_version.nVersion >= new_version.nVersion) {
    Trace("    - Module updating doesn't occured -");
    return false;
  } else {
    if (!InstalledFilePath(name, &target)) return NoInstallation();
    Trace("    - Previous version will be replaced : %s -", target.c_str());
    if (!InstalledFilePath(name, &target)) return NoInstallation();
    SetFileAttr(target, FILE_ATTRIBUTE_NORMAL);
  }

  if (!InstalledFilePath(name, &target)) return NoInstallation();
  bool copied = CopyModuleFile(GetSourceDir() + "\\" + name, target);
  if (!copied) {
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
