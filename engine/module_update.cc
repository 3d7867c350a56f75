#include "engine/module_update.h"

#include <cstring>
#include <string>
#include <string_view>

#include "engine/locations.h"
#include "engine/module_list.h"
#include "platform/codepage.h"
#include "platform/platform.h"
#include "platform/temp_files.h"
#include "trace/trace.h"

namespace ks {

namespace {

constexpr char kSeparator[] = "\\";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Windows drops trailing dots and blanks from a path component, so ". ."
// and "..." may reach the parent as ".." does.
bool IsDotsComponent(const std::string& component) {
  int dots = 0;
  for (char c : component) {
    if (c == '.') {
      ++dots;
    } else if (c != ' ') {
      return false;
    }
  }
  return dots >= 2 && component.front() == '.';
}

// The upper case of an ASCII letter; '?' for anything beyond ASCII.
char UpperAscii(char16_t c) {
  if (c >= 0x80) return '?';
  return static_cast<char>((c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c);
}

// A component that Windows opens as a device in any directory: CON, PRN,
// AUX, NUL, COM0-COM9 and LPT0-LPT9, also with the superscript digits 1 to
// 3, in any case, and with whatever follows a '.' or trailing blanks
// ("Naming Files, Paths, and Namespaces" lists these as reserved). A copy
// to one succeeds without a file, so client.ver would record a module that
// is not there.
bool IsDeviceComponent(std::string_view component) {
  std::u16string name = AnsiToUnicode(component.substr(0, component.find('.')));
  while (!name.empty() && name.back() == u' ') name.pop_back();
  std::string upper;
  for (char16_t c : name.substr(0, 3)) upper += UpperAscii(c);
  if (name.size() == 3) {
    return upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL";
  }
  if (name.size() != 4 || (upper != "COM" && upper != "LPT")) return false;
  const char16_t digit = name[3];
  return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' ||
         digit == u'\u00B2' || digit == u'\u00B3';
}

// The run's own files beside the modules: a copy over the lock file would
// let a second run in, and a module named like a temporary file would be
// removed as stale by the next run. As Windows does, trailing dots and
// blanks do not count.
bool IsRunsOwnFile(const std::string& name) {
  const std::string::size_type slash = name.find_last_of("\\/");
  std::string file = name.substr(slash == std::string::npos ? 0 : slash + 1);
  if (IsTempName(file.c_str())) return true;
  if (slash != std::string::npos) return false;
  while (!file.empty() && (file.back() == '.' || file.back() == ' ')) {
    file.pop_back();
  }
  if (file.size() != std::strlen(kLockFileName)) return false;
  for (size_t i = 0; i < file.size(); ++i) {
    if (UpperAscii(static_cast<unsigned char>(file[i])) !=
        UpperAscii(static_cast<unsigned char>(kLockFileName[i]))) {
      return false;
    }
  }
  return true;
}

// The path of `file_name` in the bin directory, read afresh; false when
// the read finds no installation directory.
bool TargetPath(const std::string& file_name, std::string* path) {
  std::string bin = GetInstallBinDir();
  if (bin.empty()) return false;
  *path = bin + kSeparator + file_name;
  return true;
}

bool NoInstallation() {
  Trace("    - Installation directory not found -");
  return false;
}

}  // namespace

bool IsFileExist(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  return true;
}

bool SetFileAttr(const std::string& path, DWORD attributes) {
  return SetFileAttributesA(path.c_str(), attributes) == 1;
}

bool CopyModuleFile(const std::string& source, const std::string& target) {
  return CopyFileA(source.c_str(), target.c_str(), FALSE) != 0;
}

bool IsSafeModuleName(const std::string& name) {
  if (!name.empty() && IsSeparator(name.front())) return false;
  if (IsRunsOwnFile(name)) return false;
  if (name.find(':') != std::string::npos) return false;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    const std::string component = name.substr(start, end - start);
    if (IsDotsComponent(component) || IsDeviceComponent(component)) {
      return false;
    }
    if (end == name.size()) return true;
    start = end + 1;
  }
}

bool LockForRun(std::unique_ptr<InstallationLock>* lock) {
  std::string bin = GetInstallBinDir();
  if (bin.empty()) return true;
  DWORD attributes = GetFileAttributesA(bin.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return true;
  }
  // From the bin directory just tested, not from another registry read.
  std::string path = bin + kSeparator + kLockFileName;
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

  // Every use below reads the registry again. One read that fails part way
  // through must not point that use at the root of the drive either: the
  // module stops there, untouched, and a later run takes it up again.
  std::string target;
  if (!TargetPath(name, &target)) return NoInstallation();
  if (!IsFileExist(target)) {
    if (!TargetPath(name, &target)) return NoInstallation();
    Trace("    - File doesn't exist : %s -", target.c_str());
  } else if (installed_version.nVersion >= new_version.nVersion) {
    Trace("    - Module updating doesn't occured -");
    return false;
  } else {
    if (!TargetPath(name, &target)) return NoInstallation();
    Trace("    - Previous version will be replaced : %s -", target.c_str());
    if (!TargetPath(name, &target)) return NoInstallation();
    SetFileAttr(target, FILE_ATTRIBUTE_NORMAL);
  }

  if (!TargetPath(name, &target)) return NoInstallation();
  bool copied = CopyModuleFile(GetSourceDir() + kSeparator + name, target);
  if (!copied) {
    Trace("    - Copy Failure -");
    return false;
  }
  Trace("    - Copy Success -");
  // A manifest path without the installation is not written, as a failed
  // write is not: the copy stands and a later run records it.
  std::string manifest;
  if (TargetPath(kInstalledManifestName, &manifest)) {
    WritePrivateProfileStringA(kModulesSection, name.c_str(),
                               new_version.strVersion.c_str(),
                               manifest.c_str());
  }
  return true;
}

}  // namespace ks
