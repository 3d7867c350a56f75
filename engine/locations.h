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

#include "platform/win32_types.h"

namespace ks {

extern const char kRegistryKeyPath[];    // under HKEY_LOCAL_MACHINE
extern const char kRegistryValueName[];  // the installation directory
extern const char kSourceManifestName[];
extern const char kInstalledManifestName[];
extern const char kLockFileName[];  // in bin, beside the installed manifest

// Makes `base_path` the base path that GetSourceDir() reads, at each call,
// from now on. The run object calls this with its own process-wide base
// path, which must outlive every later call.
void UseBasePath(const std::string& base_path);

// The base path up to (not including) its last backslash; the whole base
// path when it has none; empty when it is empty or none is in use.
std::string GetSourceDir();

// The installation directory from the registry with "bin" appended (after a
// backslash unless it ends in one); empty when the value is missing or
// empty.
std::string GetInstallBinDir();

// GetSourceDir() + "\ksmodules.ver".
std::string GetSourceManifestPath();

// GetInstallBinDir() + "\client.ver".
std::string GetInstalledManifestPath();

// The path of `file_name` in the bin directory, read afresh: true with
// GetInstallBinDir() + "\" + file_name in *path; false, with *path
// untouched, when the read finds no installation directory. The update
// uses it for every path in bin, so that one registry read that fails part
// way through a module never points that use at the root of the drive.
bool InstalledFilePath(const std::string& file_name, std::string* path);

// The text of a registry value, read whole whatever its length and cut at
// its first zero byte; empty when the key or value is missing or cannot be
// read.
std::string ReadRegistryString(HKEY root, const std::string& key_path,
                               const std::string& value_name);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_LOCATIONS_H_
