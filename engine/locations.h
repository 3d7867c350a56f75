// Where everything is: the source directory and its manifest, from the base
// path; the installation's bin directory and its manifest, from the
// registry. Every call computes its result afresh; nothing is cached.
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

// The base path up to (not including) its last backslash; the whole base
// path when it has none; empty when it is empty.
std::string GetSourceDir();

// The installation directory from the registry with "bin" appended (after a
// backslash unless it ends in one); empty when the value is missing or
// empty.
std::string GetInstallBinDir();

// GetSourceDir() + "\ksmodules.ver".
std::string GetSourceManifestPath();

// GetInstallBinDir() + "\client.ver".
std::string GetInstalledManifestPath();

// The text of a registry value, read whole whatever its length and cut at
// its first zero byte; empty when the key or value is missing or cannot be
// read.
std::string ReadRegistryString(HKEY root, const std::string& key_path,
                               const std::string& value_name);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_LOCATIONS_H_
