// What the two manifests say: the patch's, read once into a value, and the
// installation's client.ver, read through the platform at each use.
#ifndef KSUPDATE_ENGINE_MANIFESTS_H_
#define KSUPDATE_ENGINE_MANIFESTS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/profile/file.h"
#include "platform/platform.h"
#include "platform/sha256.h"

namespace ks {

extern const char kModulesSection[];   // "modules", in both manifests
extern const char kDefaultVersion[];   // for a missing entry
extern const char kChecksumSection[];  // "sha256", in both manifests
extern const char kSizeSection[];      // "size", in the patch manifest
extern const char kPatchSection[];     // "patch", its header when signed

// A section of the patch manifest: what it is for, as
// tests/data/manifest_format.json calls it, and its name.
struct ManifestSection {
  const char* role;
  const char* name;
};

// Every section a patch manifest may have, in the order of
// tests/data/manifest_format.json. The patch scripts take their list from
// that file, and ManifestFormatTest holds it to this one.
inline constexpr ManifestSection kManifestSections[] = {
    {"modules", kModulesSection},
    {"checksums", kChecksumSection},
    {"sizes", kSizeSection},
    {"header", kPatchSection},
};

// One module's version as read from a manifest.
struct ModuleVersion {
  std::int32_t nVersion = 0;  // decides
  std::string strVersion;     // is what gets written
};

// atoi as the Windows runtime computes it: leading white space, one sign,
// decimal digits up to the first other character; 0 when there are none.
// Beyond the signed 32-bit range it saturates.
std::int32_t VersionAtoi(const char* text);

// The version of an entry as read into a buffer of 80 bytes: the text cut
// at 79 characters, and its number.
ModuleVersion VersionOf(const char* text);

// Fills `version` from the entry `name` of section "modules" of the
// profile file at `manifest_path`, read through `platform`: the text as
// stored, cut at 79 characters, and its number; the default "0000000000"
// (number 0) when the file, the section or the entry is missing.
void ReadManifestVersion(Platform& platform, const std::string& manifest_path,
                         const std::string& name, ModuleVersion& version);

// The digest that section "sha256" of the profile file at `manifest_path`
// (client.ver) records for `name`, read through `platform`: true with it in
// *digest when the entry is 64 hexadecimal digits; false otherwise.
bool ReadRecordedDigest(Platform& platform, const std::string& manifest_path,
                        const std::string& name, Sha256Digest* digest);

// The strings of a profile call's list answer (a section's entries, the
// names of the sections): `read(buffer, size)` fills the buffer as the
// profile calls do. An answer that fills it (size - 2) may have been cut,
// so the call is made again with twice the room, until the room passes
// `max_size` / 2. At most `max_strings` strings are kept: the rest of the
// answer is not looked at.
std::vector<std::string> ReadProfileList(
    const std::function<DWORD(LPSTR, DWORD)>& read, DWORD max_size,
    std::size_t max_strings = SIZE_MAX);

// What the source manifest vouches for a module's bytes.
enum class ModuleChecksum {
  kNone,     // the manifest has no section "sha256": nothing is checked
  kValid,    // an entry of 64 hexadecimal digits: the digest to check
  kInvalid,  // the section is there, but holds no such entry for the name
};

// What the patch manifest says of a module's size.
enum class ModuleSize {
  kNone,     // the manifest has no section "size": nothing is checked
  kValid,    // an entry of decimal digits that fits in 64 bits
  kInvalid,  // the section is there, but holds no such entry for the name
};

// What the run read of the patch manifest: its bytes, read once and bounded
// (Platform::LoadProfileFile), and the answers that the profile rules give
// on them, parsed at the first question (a signature is checked on the
// bytes before anything in them is believed). Every name, version and checksum
// of the run comes from here, whatever happens to the file meanwhile: a patch
// changed, replaced or given a second spelling while the run goes on cannot mix
// two manifests, and the bytes a check looks at are the bytes used. A section
// of the manifest is read here and nowhere else.
class PatchManifest {
 public:
  // Reads the manifest at `path` through `platform`.
  PatchManifest(Platform& platform, std::string path);

  const std::string& path() const { return path_; }
  // What the reading found; a manifest that is missing, cannot be read or
  // is too large answers every read as a missing file does.
  ProfileLoad load() const { return load_; }
  // The bytes read; empty unless load() is kLoaded.
  const std::string& bytes() const;

  // The key of each entry of `section` that GetSection lists, in order,
  // until `visit` returns false; none for a manifest that was not read.
  void ForEachListedKey(
      LPCSTR section, const std::function<bool(std::string_view)>& visit) const;
  // GetPrivateProfileSectionA and GetPrivateProfileStringA on the bytes.
  DWORD GetSection(LPCSTR section, LPSTR buffer, DWORD size) const;
  DWORD GetString(LPCSTR section, LPCSTR key, LPCSTR default_value,
                  LPSTR buffer, DWORD size) const;

  // The version that entry `name` of section "modules" gives, as
  // ReadManifestVersion reads it.
  void ReadVersion(const std::string& name, ModuleVersion& version) const;
  // Whether the manifest has a section "sha256": then every module it
  // lists must have a valid checksum there.
  bool has_checksums() const;
  // The checksum entry of `name` in section "sha256"; with kValid, the
  // digest in *digest.
  ModuleChecksum ReadChecksum(const std::string& name,
                              Sha256Digest* digest) const;
  // The size entry of `name` in section "size"; with kValid, the number of
  // bytes in *size.
  ModuleSize ReadSize(const std::string& name, std::uint64_t* size) const;

 private:
  // The bytes parsed, at the first question; null unless the file was read.
  const profile::File* file() const;

  std::string path_;
  ProfileLoad load_ = ProfileLoad::kMissing;
  // The bytes until they are parsed; then file_ holds them.
  mutable std::string bytes_;
  mutable std::unique_ptr<const profile::File> file_;
  // Once, not at every module: the sections are listed by a scan of the
  // whole file.
  mutable std::optional<bool> has_checksums_;
  mutable std::optional<bool> has_sizes_;
};

// The patch manifest is too large to be read: traces so. The run must then
// update nothing.
void TraceManifestTooLarge(const std::string& path);

// False, with a trace line, when client.ver is larger than the bound: its
// versions could not be read nor a record written, so the run must copy
// nothing.
bool CheckInstalledManifest(Platform& platform);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MANIFESTS_H_
