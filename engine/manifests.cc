#include "engine/manifests.h"

#include <climits>

#include "platform/platform.h"

namespace ks {

const char kModulesSection[] = "modules";
const char kDefaultVersion[] = "0000000000";

namespace {

constexpr DWORD kVersionBufferSize = 80;

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

}  // namespace ks
