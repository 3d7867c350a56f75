// What the two manifests say of one module: its version.
#ifndef KSUPDATE_ENGINE_MANIFESTS_H_
#define KSUPDATE_ENGINE_MANIFESTS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sha256.h"

namespace ks {

extern const char kModulesSection[];   // "modules", in both manifests
extern const char kDefaultVersion[];   // for a missing entry
extern const char kChecksumSection[];  // "sha256", in the source manifest

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

// The strings of a profile call's list answer (a section's entries, the
// names of the sections): `read(buffer, size)` fills the buffer as the
// profile calls do. An answer that fills it (size - 2) may have been cut,
// so the call is made again with twice the room, until the room passes
// `max_size` / 2.
std::vector<std::string> ReadProfileList(
    const std::function<DWORD(LPSTR, DWORD)>& read, DWORD max_size);

// Reads the source manifest once for the whole run: while it lives, every
// read of it (names, versions, checksums) answers from this reading, so
// that a patch changed or replaced while the run goes on cannot mix two
// manifests.
class SourceManifestPin {
 public:
  SourceManifestPin();
  SourceManifestPin(const SourceManifestPin&) = delete;
  SourceManifestPin& operator=(const SourceManifestPin&) = delete;
  ~SourceManifestPin();

  // False when the run must not go on: the manifest is larger than the
  // bound, which this traces. A missing or unreadable manifest is no reason
  // to stop here: it lists no module.
  bool usable() const { return usable_; }
  // Whether the manifest has a section "sha256": then every module it
  // lists must have a valid checksum there.
  bool has_checksums() const { return has_checksums_; }
  // What the reading found.
  ProfileLoad load() const { return load_; }

 private:
  std::string path_;
  ProfileLoad load_ = ProfileLoad::kMissing;
  bool usable_ = true;
  bool has_checksums_ = false;
};

// False, with a trace line, when client.ver is larger than the bound: its
// versions could not be read nor a record written, so the run must copy
// nothing.
bool CheckInstalledManifest();

// What the source manifest vouches for a module's bytes.
enum class ModuleChecksum {
  kNone,     // the manifest has no section "sha256": nothing is checked
  kValid,    // an entry of 64 hexadecimal digits: the digest to check
  kInvalid,  // the section is there, but holds no such entry for the name
};

// The checksum entry of `name` in section "sha256" of the source manifest,
// which has such a section when `required` (SourceManifestPin tells);
// with kValid, the digest in *digest.
ModuleChecksum ReadModuleChecksum(const std::string& name, bool required,
                                  Sha256Digest* digest);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MANIFESTS_H_
