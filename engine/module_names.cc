// The module names of the source manifest.
#include <cstring>
#include <vector>

#include "app/patcher.h"
#include "engine/locations.h"
#include "engine/module_list.h"
#include "platform/platform.h"

namespace ks {

namespace {
constexpr DWORD kSectionBufferSize = 512;
// A section larger than this is not a manifest; reading stops growing here.
constexpr DWORD kMaxSectionBufferSize = 1u << 30;
}  // namespace

std::string CPatcher::ReadModuleNames() {
  std::string names;
  // Two zero bytes beyond what the read may fill, so the walk below ends
  // inside the buffer whatever the read left.
  std::vector<char> buffer;
  DWORD size = kSectionBufferSize;
  for (;;) {
    buffer.assign(static_cast<std::size_t>(size) + 2, '\0');
    DWORD copied = GetPrivateProfileSectionA(
        kModulesSection, buffer.data(), size, GetSourceManifestPath().c_str());
    // A full buffer (size - 2) may have cut the section: a module past the
    // cut would silently stay old, so read again with room to spare.
    if (copied < size - 2 || size > kMaxSectionBufferSize / 2) break;
    size *= 2;
  }
  if (buffer[0] == '\0') return names;
  const char* end = buffer.data() + buffer.size();
  for (const char* entry = buffer.data(); entry < end && *entry != '\0';) {
    const void* zero =
        std::memchr(entry, '\0', static_cast<std::size_t>(end - entry));
    std::size_t length =
        zero != nullptr
            ? static_cast<std::size_t>(static_cast<const char*>(zero) - entry)
            : static_cast<std::size_t>(end - entry);
    names += GetEntryKey(std::string(entry, length));
    names += '|';
    entry += length + 1;
  }
  return names;
}

std::string CPatcher::GetEntryKey(const std::string& entry) {
  std::string::size_type equals = entry.find('=');
  if (equals == std::string::npos) return entry;
  return entry.substr(0, equals);
}

}  // namespace ks
