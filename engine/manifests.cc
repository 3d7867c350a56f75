#include "engine/manifests.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "engine/locations.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "trace/trace.h"

namespace ks {

const char kModulesSection[] = "modules";
const char kDefaultVersion[] = "0000000000";
const char kChecksumSection[] = "sha256";

namespace {

constexpr DWORD kVersionBufferSize = 80;

bool TooLarge(const std::string& path) {
  Trace("    - Manifest too large : %s -", path.c_str());
  return false;
}

// Whether the profile file at `path` has a section named `name`, however
// many sections it has (their names fill at most the file's size).
bool HasSection(const std::string& path, const char* name) {
  const std::vector<std::string> sections = ReadProfileList(
      [&path](LPSTR buffer, DWORD size) {
        return GetPrivateProfileStringA(nullptr, nullptr, "", buffer, size,
                                        path.c_str());
      },
      2 * kMaxProfileFileBytes);
  return std::any_of(sections.begin(), sections.end(),
                     [name](const std::string& section) {
                       return EqualsIgnoringAsciiCase(section, name);
                     });
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

void ReadManifestVersion(const std::string& manifest_path,
                         const std::string& name, ModuleVersion& version) {
  char buffer[kVersionBufferSize + 1] = {};
  GetPrivateProfileStringA(kModulesSection, name.c_str(), kDefaultVersion,
                           buffer, kVersionBufferSize, manifest_path.c_str());
  buffer[kVersionBufferSize - 1] = '\0';
  version.nVersion = VersionAtoi(buffer);
  version.strVersion = buffer;
}

std::vector<std::string> ReadProfileList(
    const std::function<DWORD(LPSTR, DWORD)>& read, DWORD max_size) {
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
  for (const char* entry = buffer.data(); entry < end && *entry != '\0';) {
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

SourceManifestPin::SourceManifestPin() : path_(GetSourceManifestPath()) {
  load_ = LoadProfileFile(path_.c_str(), TRUE);
  if (load_ == ProfileLoad::kTooLarge) {
    usable_ = TooLarge(path_);
    return;
  }
  // Once, not at every module: the sections are listed by a scan of the
  // whole file.
  has_checksums_ = HasSection(path_, kChecksumSection);
}

SourceManifestPin::~SourceManifestPin() {
  try {
    UnpinProfileFile(path_.c_str());
  } catch (...) {
    // The process ends soon after a run; a pin that stays is harmless.
  }
}

bool CheckInstalledManifest() {
  const std::string path = GetInstalledManifestPath();
  if (LoadProfileFile(path.c_str(), FALSE) == ProfileLoad::kTooLarge) {
    return TooLarge(path);
  }
  return true;
}

ModuleChecksum ReadModuleChecksum(const std::string& name, bool required,
                                  Sha256Digest* digest) {
  if (!required) return ModuleChecksum::kNone;
  char buffer[kVersionBufferSize + 1] = {};
  GetPrivateProfileStringA(kChecksumSection, name.c_str(), "", buffer,
                           kVersionBufferSize, GetSourceManifestPath().c_str());
  return ParseSha256(buffer, digest) ? ModuleChecksum::kValid
                                     : ModuleChecksum::kInvalid;
}

}  // namespace ks
