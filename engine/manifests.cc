#include "engine/manifests.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/locations.h"
#include "formats/profile/profile.h"
#include "formats/text.h"
#include "trace/trace.h"

namespace ks {

const char kModulesSection[] = "modules";
const char kDefaultVersion[] = "0000000000";
const char kChecksumSection[] = "sha256";
const char kSizeSection[] = "size";
const char kPatchSection[] = "patch";

namespace {

constexpr DWORD kVersionBufferSize = 80;

// Whether `manifest` has a section named `name`, however many sections it
// has (their names fill at most the file's size).
bool HasSection(const PatchManifest& manifest, const char* name) {
  const std::vector<std::string> sections = ReadProfileList(
      [&manifest](LPSTR buffer, DWORD size) {
        return manifest.GetString(nullptr, nullptr, "", buffer, size);
      },
      2 * kMaxProfileFileBytes);
  return std::any_of(sections.begin(), sections.end(),
                     [name](const std::string& section) {
                       return EqualsIgnoringAsciiCase(section, name);
                     });
}

// A size as the [size] section gives it: decimal digits only, no sign or
// blank, within 64 bits.
bool ParseByteCount(const char* text, std::uint64_t* size) {
  // Longer than any 64-bit number: a text cut at the buffer's end never
  // reads as a number.
  const std::size_t length = std::strlen(text);
  if (length == 0 || length > 20) return false;
  std::uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
    const unsigned digit = static_cast<unsigned>(*text - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *size = value;
  return true;
}

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

}  // namespace

std::int32_t VersionAtoi(const char* text) {
  const char* p = text;
  while (IsCSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Accumulated in 64 bits and clamped at once, so that no digit string,
  // however long, overflows.
  const long long limit = negative ? -static_cast<long long>(INT32_MIN)
                                   : static_cast<long long>(INT32_MAX);
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > limit) value = limit;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

ModuleVersion VersionOf(const char* text) {
  ModuleVersion version;
  version.strVersion = text;
  if (version.strVersion.size() > kVersionBufferSize - 1) {
    version.strVersion.resize(kVersionBufferSize - 1);
  }
  version.nVersion = VersionAtoi(version.strVersion.c_str());
  return version;
}

void ReadManifestVersion(Platform& platform, const std::string& manifest_path,
                         const std::string& name, ModuleVersion& version) {
  char buffer[kVersionBufferSize + 1] = {};
  platform.GetPrivateProfileStringA(kModulesSection, name.c_str(),
                                    kDefaultVersion, buffer, kVersionBufferSize,
                                    manifest_path.c_str());
  version = VersionOf(buffer);
}

bool ReadRecordedDigest(Platform& platform, const std::string& manifest_path,
                        const std::string& name, Sha256Digest* digest) {
  char buffer[kVersionBufferSize + 1] = {};
  platform.GetPrivateProfileStringA(kChecksumSection, name.c_str(), "", buffer,
                                    kVersionBufferSize, manifest_path.c_str());
  return ParseSha256(buffer, digest);
}

std::vector<std::string> ReadProfileList(
    const std::function<DWORD(LPSTR, DWORD)>& read, DWORD max_size,
    std::size_t max_strings) {
  // Two zero bytes beyond what the read may fill, so the walk below ends
  // inside the buffer whatever the read left.
  std::vector<char> buffer;
  DWORD size = 512;
  for (;;) {
    buffer.assign(static_cast<std::size_t>(size) + 2, '\0');
    const DWORD copied = read(buffer.data(), size);
    if (copied < size - 2 || size > max_size / 2) break;
    size *= 2;
  }
  std::vector<std::string> strings;
  const char* end = buffer.data() + buffer.size();
  for (const char* entry = buffer.data();
       entry < end && *entry != '\0' && strings.size() < max_strings;) {
    const void* zero =
        std::memchr(entry, '\0', static_cast<std::size_t>(end - entry));
    const std::size_t length =
        zero != nullptr
            ? static_cast<std::size_t>(static_cast<const char*>(zero) - entry)
            : static_cast<std::size_t>(end - entry);
    strings.emplace_back(entry, length);
    entry += length + 1;
  }
  return strings;
}

PatchManifest::PatchManifest(Platform& platform, std::string path)
    : path_(std::move(path)) {
  load_ = platform.LoadProfileFile(path_.c_str(), &bytes_);
  if (load_ != ProfileLoad::kLoaded) bytes_.clear();
}

const profile::File* PatchManifest::file() const {
  if (file_ == nullptr && load_ == ProfileLoad::kLoaded) {
    // The bytes move into the parsed file: one copy of them, not two.
    file_ = std::make_unique<const profile::File>(std::move(bytes_));
  }
  return file_.get();
}

const std::string& PatchManifest::bytes() const {
  return file_ != nullptr ? file_->contents() : bytes_;
}

DWORD PatchManifest::GetSection(LPCSTR section, LPSTR buffer,
                                DWORD size) const {
  const profile::File* parsed = file();
  if (parsed == nullptr) {
    return profile::GetSection(std::string(), section, buffer, size);
  }
  return parsed->GetSection(section, buffer, size);
}

DWORD PatchManifest::GetString(LPCSTR section, LPCSTR key, LPCSTR default_value,
                               LPSTR buffer, DWORD size) const {
  const profile::File* parsed = file();
  if (parsed == nullptr) {
    return profile::GetString(std::string(), false, section, key, default_value,
                              buffer, size);
  }
  return parsed->GetString(section, key, default_value, buffer, size);
}

void PatchManifest::ForEachListedKey(
    LPCSTR section, const std::function<bool(std::string_view)>& visit) const {
  // On the bytes as they are until something else needs them parsed: the
  // names are read, and a manifest that lists too many refused, without an
  // index of every line.
  if (file_ != nullptr) {
    file_->ForEachListedKey(section, visit);
  } else if (load_ == ProfileLoad::kLoaded) {
    profile::ForEachListedKey(bytes_, section, visit);
  }
}

bool PatchManifest::has_checksums() const {
  if (!has_checksums_) has_checksums_ = HasSection(*this, kChecksumSection);
  return *has_checksums_;
}

void PatchManifest::ReadVersion(const std::string& name,
                                ModuleVersion& version) const {
  char buffer[kVersionBufferSize + 1] = {};
  GetString(kModulesSection, name.c_str(), kDefaultVersion, buffer,
            kVersionBufferSize);
  version = VersionOf(buffer);
}

ModuleChecksum PatchManifest::ReadChecksum(const std::string& name,
                                           Sha256Digest* digest) const {
  if (!has_checksums()) return ModuleChecksum::kNone;
  char buffer[kVersionBufferSize + 1] = {};
  GetString(kChecksumSection, name.c_str(), "", buffer, kVersionBufferSize);
  return ParseSha256(buffer, digest) ? ModuleChecksum::kValid
                                     : ModuleChecksum::kInvalid;
}

ModuleSize PatchManifest::ReadSize(const std::string& name,
                                   std::uint64_t* size) const {
  if (!has_sizes_) has_sizes_ = HasSection(*this, kSizeSection);
  if (!*has_sizes_) return ModuleSize::kNone;
  char buffer[kVersionBufferSize + 1] = {};
  GetString(kSizeSection, name.c_str(), "", buffer, kVersionBufferSize);
  return ParseByteCount(buffer, size) ? ModuleSize::kValid
                                      : ModuleSize::kInvalid;
}

void TraceManifestTooLarge(const std::string& path) {
  Trace("    - Manifest too large : %s -", path.c_str());
}

bool CheckInstalledManifest(Platform& platform) {
  const std::string path = Locations::GetInstalledManifestPath(platform);
  if (platform.LoadProfileFile(path.c_str(), nullptr) ==
      ProfileLoad::kTooLarge) {
    TraceManifestTooLarge(path);
    return false;
  }
  return true;
}

}  // namespace ks
