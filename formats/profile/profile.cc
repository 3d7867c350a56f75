#include "formats/profile/profile.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "formats/profile/dialect.h"
#include "formats/profile/encoding.h"

namespace ks::profile {

DWORD GetSection(const std::string& contents, LPCSTR section, LPSTR buffer,
                 DWORD size) {
  size_t bom = 0;
  const profile::Encoding encoding = profile::Detect(contents, &bom);
  if (encoding == profile::Encoding::kAnsi) {
    return profile::ReadSection<char>(contents, section, buffer, size);
  }
  const profile::Decoded decoded = profile::Decode(contents, encoding, bom);
  return profile::ReadSection<char16_t>(decoded.text, section, buffer, size);
}

void ForEachListedKey(const std::string& contents, LPCSTR section,
                      const std::function<bool(std::string_view)>& visit) {
  size_t bom = 0;
  const profile::Encoding encoding = profile::Detect(contents, &bom);
  if (encoding == profile::Encoding::kAnsi) {
    profile::ForEachListedKey<char>(contents, section, visit);
    return;
  }
  const profile::Decoded decoded = profile::Decode(contents, encoding, bom);
  profile::ForEachListedKey<char16_t>(decoded.text, section, visit);
}

DWORD GetString(const std::string& contents, bool file_exists, LPCSTR section,
                LPCSTR key, LPCSTR default_value, LPSTR buffer, DWORD size) {
  if (!file_exists) {
    // The default is cut as Wine cuts it: in units, then whole characters.
    if (AnsiIsDoubleByte()) {
      return profile::ReadString<char16_t>(nullptr, section, key, default_value,
                                           buffer, size);
    }
    return profile::ReadString<char>(nullptr, section, key, default_value,
                                     buffer, size);
  }
  size_t bom = 0;
  const profile::Encoding encoding = profile::Detect(contents, &bom);
  if (encoding == profile::Encoding::kAnsi) {
    const std::string_view text(contents);
    return profile::ReadString<char>(&text, section, key, default_value, buffer,
                                     size);
  }
  const profile::Decoded decoded = profile::Decode(contents, encoding, bom);
  const std::u16string_view text(decoded.text);
  return profile::ReadString<char16_t>(&text, section, key, default_value,
                                       buffer, size);
}

bool WriteString(const std::string& contents, LPCSTR section, LPCSTR key,
                 LPCSTR value, std::string* result) {
  if (result == nullptr) return false;
  size_t bom = 0;
  const profile::Encoding encoding = profile::Detect(contents, &bom);
  if (encoding == profile::Encoding::kAnsi) {
    profile::Edit<char> edit;
    if (!profile::WriteEdit<char>(contents, section, key, value, &edit)) {
      return false;
    }
    *result = contents;
    if (edit.changed) {
      result->replace(edit.begin, edit.end - edit.begin, edit.text);
    }
    // A key written first in the file must not make it look Unicode.
    size_t new_bom = 0;
    return profile::Detect(*result, &new_bom) == profile::Encoding::kAnsi;
  }
  const profile::Decoded decoded = profile::Decode(contents, encoding, bom);
  profile::Edit<char16_t> edit;
  if (!profile::WriteEdit<char16_t>(decoded.text, section, key, value, &edit)) {
    return false;
  }
  *result = edit.changed ? profile::ReplaceUnits(contents, decoded, edit.begin,
                                                 edit.end, edit.text)
                         : contents;
  // An ANSI file must not come to look Unicode either.
  size_t new_bom = 0;
  return profile::Detect(*result, &new_bom) == encoding;
}

}  // namespace ks::profile
