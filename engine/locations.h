// Where everything is: the source directory and its manifest, from the base
// path; the installation's bin directory and its manifest, from the
// registry. Every call computes its result afresh; nothing is cached.
//
// The update of one module reads the registry value again for each use of
// a path in bin (GetInstalledManifestPath for its installed version,
// InstalledFilePath for the existence test, each trace line with the path,
// the attribute change, the copy and the record), as the run always has:
// a change of the value during a run is seen by the next use.
#ifndef KSUPDATE_ENGINE_LOCATIONS_H_
#define KSUPDATE_ENGINE_LOCATIONS_H_

#include <string>

#include "platform/platform.h"

namespace ks {

extern const char kRegistryKeyPath[];    // under HKEY_LOCAL_MACHINE
extern const char kRegistryValueName[];  // the installation directory
extern const char kSourceManifestName[];
extern const char kInstalledManifestName[];
extern const char kLockFileName[];  // in bin, beside the installed manifest

// The locations of one run: the base path it was given, and the way to the
// installation through `platform`'s registry, taken again at each call.
class Locations {
 public:
  explicit Locations(std::string base_path);

  const std::string& base_path() const { return base_path_; }

  // The base path up to (not including) its last backslash; the whole base
  // path when it has none; empty when it is empty.
  std::string GetSourceDir() const;

  // GetSourceDir() + "\ksmodules.ver".
  std::string GetSourceManifestPath() const;

  // The installation directory from the registry with "bin" appended (after
  // a backslash unless it ends in one); empty when the value is missing or
  // empty.
  static std::string GetInstallBinDir(Platform& platform);

  // GetInstallBinDir() + "\client.ver".
  static std::string GetInstalledManifestPath(Platform& platform);

  // The path of `file_name` in the bin directory, read afresh: true with
  // GetInstallBinDir() + "\" + file_name in *path; false, with *path
  // untouched, when the read finds no installation directory, or (with a
  // `held_bin` that is not empty) finds another bin directory than that
  // one, which the run holds. The update uses it for every path in bin, so
  // that one registry read that fails or changes part way through a
  // module never points that use at the root of the drive, nor anywhere
  // that was not checked.
  static bool InstalledFilePath(Platform& platform,
                                const std::string& file_name, std::string* path,
                                const std::string& held_bin = std::string());

 private:
  std::string base_path_;
};

// A registry value, read whole whatever its length (up to a bound no value
// of ours comes near): ERROR_SUCCESS with its type in *type (when not
// null) and its bytes in *data; else the error of the open or the query
// (ERROR_FILE_NOT_FOUND for a missing key or value, or one that keeps
// growing past the bound), with *data empty. `view` is added to KEY_READ:
// 0 for the view the platform gives by default (the client's, 32-bit),
// KEY_WOW64_64KEY for the native one.
LONG ReadRegistryValue(Platform& platform, HKEY root,
                       const std::string& key_path,
                       const std::string& value_name, REGSAM view, DWORD* type,
                       std::string* data);

// The text of a registry value, read whole whatever its length and cut at
// its first zero byte; empty when the key or value is missing or cannot be
// read.
std::string ReadRegistryString(Platform& platform, HKEY root,
                               const std::string& key_path,
                               const std::string& value_name);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_LOCATIONS_H_
