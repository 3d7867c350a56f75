#include "engine/locations.h"

#include <utility>
#include <vector>

#include "formats/codepage.h"

namespace ks {

const char kRegistryKeyPath[] = "SOFTWARE\\Kestrova\\Plennet Groupware 6.5";
const char kRegistryValueName[] = "KestrovaDir32";
const char kSourceManifestName[] = "ksmodules.ver";
const char kInstalledManifestName[] = "client.ver";
// Not a module's name, and not one of the providers' temporary files, which
// a run removes as stale.
const char kLockFileName[] = "ksupdate.lock";

namespace {
constexpr char kSeparator[] = "\\";
constexpr char kModulesDirName[] = "bin";
constexpr DWORD kRegistryValueBufferSize = 50;
// No path comes near this; a value that claims more is not a path.
constexpr DWORD kMaxRegistryValueSize = 1u << 30;
}  // namespace

Locations::Locations(std::string base_path)
    : base_path_(std::move(base_path)) {}

std::string Locations::GetSourceDir() const {
  const std::string& base = base_path_;
  if (base.empty()) return std::string();
  // By character: a 0x5C trail byte of a double-byte character is no cut.
  std::string::size_type i = FindLastAnsiChar(base, kSeparator);
  if (i == std::string::npos) return base;
  return base.substr(0, i);
}

LONG ReadRegistryValue(Platform& platform, HKEY root,
                       const std::string& key_path,
                       const std::string& value_name, REGSAM view, DWORD* type,
                       std::string* data) {
  data->clear();
  HKEY key = nullptr;
  const LONG opened =
      platform.RegOpenKeyExA(root, key_path.c_str(), 0, KEY_READ | view, &key);
  if (opened != ERROR_SUCCESS) return opened;
  // One byte more than offered to the query, always zero, so that a text
  // without a terminating zero still ends inside the buffer.
  std::vector<char> buffer(kRegistryValueBufferSize + 1, '\0');
  DWORD offered = kRegistryValueBufferSize;
  LONG result = ERROR_SUCCESS;
  for (;;) {
    DWORD size = offered;
    result = platform.RegQueryValueExA(key, value_name.c_str(), nullptr, type,
                                       reinterpret_cast<LPBYTE>(buffer.data()),
                                       &size);
    if (result == ERROR_SUCCESS) {
      data->assign(buffer.data(), size <= offered ? size : offered);
      break;
    }
    // A value may be longer than the first buffer: grow to the size asked
    // for, at least doubling so that a value that keeps growing cannot
    // keep us here.
    if (result != ERROR_MORE_DATA || size > kMaxRegistryValueSize ||
        offered > kMaxRegistryValueSize / 2) {
      if (result == ERROR_MORE_DATA) result = ERROR_FILE_NOT_FOUND;
      break;
    }
    DWORD grown = offered * 2;
    offered = size > grown ? size : grown;
    buffer.assign(static_cast<std::size_t>(offered) + 1, '\0');
  }
  platform.RegCloseKey(key);
  return result;
}

std::string ReadRegistryString(Platform& platform, HKEY root,
                               const std::string& key_path,
                               const std::string& value_name) {
  std::string data;
  if (ReadRegistryValue(platform, root, key_path, value_name, 0, nullptr,
                        &data) != ERROR_SUCCESS) {
    return std::string();
  }
  return std::string(data.c_str());
}

std::string Locations::GetInstallBinDir(Platform& platform) {
  std::string dir = ReadRegistryString(platform, HKEY_LOCAL_MACHINE,
                                       kRegistryKeyPath, kRegistryValueName);
  if (dir.empty()) return std::string();
  if (!EndsWithAnsiChar(dir, kSeparator[0])) dir += kSeparator;
  return dir + kModulesDirName;
}

std::string Locations::GetSourceManifestPath() const {
  return GetSourceDir() + kSeparator + kSourceManifestName;
}

std::string Locations::GetInstalledManifestPath(Platform& platform) {
  return GetInstallBinDir(platform) + kSeparator + kInstalledManifestName;
}

bool Locations::InstalledFilePath(Platform& platform,
                                  const std::string& file_name,
                                  std::string* path,
                                  const std::string& held_bin) {
  std::string bin = GetInstallBinDir(platform);
  if (bin.empty() || (!held_bin.empty() && bin != held_bin)) return false;
  *path = bin + kSeparator + file_name;
  return true;
}

}  // namespace ks
