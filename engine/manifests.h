// What the two manifests say of one module: its version.
#ifndef KSUPDATE_ENGINE_MANIFESTS_H_
#define KSUPDATE_ENGINE_MANIFESTS_H_

#include <cstdint>
#include <string>

namespace ks {

extern const char kModulesSection[];  // "modules", in both manifests
extern const char kDefaultVersion[];  // for a missing entry

// One module's version as read from a manifest.
struct ModuleVersion {
  std::int32_t nVersion = 0;  // decides
  std::string strVersion;     // is what gets written
};

// atoi as the Windows runtime computes it: leading white space, one sign,
// decimal digits up to the first other character; 0 when there are none.
// Beyond the signed 32-bit range it saturates.
std::int32_t VersionAtoi(const char* text);

// Fills `version` from the entry `name` of section "modules" of the
// manifest at `manifest_path`: the text as stored, cut at 79 characters,
// and its number; the default "0000000000" (number 0) when the file, the
// section or the entry is missing.
void ReadManifestVersion(const std::string& manifest_path,
                         const std::string& name, ModuleVersion& version);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MANIFESTS_H_
