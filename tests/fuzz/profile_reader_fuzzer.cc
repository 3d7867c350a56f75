// The profile reader on any file text, buffer size and names.
// Input: size \0 section \0 key \0 default \0 file text.
//
// A section read stays inside its buffer, ends in two zero bytes, and is the
// same read with room to spare, or its beginning when cut; its entries are
// trimmed (but for blanks before a NUL) and never comments. A string read is
// one zero-terminated text, the beginning of the unbounded answer, and
// agrees with the section's entries. In a double-byte code page (run in
// ja_JP) a cut string read holds whole characters, zeros after them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/codepage.h"
#include "formats/profile/profile.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_text.h"

namespace ks::fuzz {
namespace {

using ks::profile::GetSection;
using ks::profile::GetString;

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
      v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

// The entries of a zero-separated list, up to its empty string.
std::vector<std::string> Entries(const char* list, std::size_t size) {
  std::vector<std::string> entries;
  std::size_t i = 0;
  while (i < size && list[i] != '\0') {
    std::size_t length = strnlen(list + i, size - i);
    entries.emplace_back(list + i, length);
    i += length + 1;
  }
  return entries;
}

void CheckSection(const std::string& contents, const std::string& section,
                  std::size_t size) {
  // Room for every entry however the file is cut into lines.
  const std::size_t big = contents.size() * 2 + 4;
  std::vector<char> full(big, '\x55');
  const DWORD full_length = profile::GetSection(
      contents, section.c_str(), full.data(), static_cast<DWORD>(big));
  Check(full_length < big - 2, "a big enough buffer holds the whole section");
  Check(full[full_length] == '\0' &&
            (full_length == 0 ? full[1] == '\0' : full[full_length - 1] == 0),
        "a section read ends in two zero bytes");
  for (const std::string& entry : Entries(full.data(), full_length + 1)) {
    Check(!entry.empty() && !IsBlank(entry.front()) &&
              (!IsBlank(entry.back()) ||
               contents.find('\0') != std::string::npos),
          "an entry is trimmed");
    Check(entry.front() != ';', "a comment is no entry");
    Check(entry.find_first_of("\r\n") == std::string::npos,
          "an entry is one line");
  }

  // Exactly `size` bytes on the heap: a write past them is caught.
  std::unique_ptr<char[]> buffer(new char[size == 0 ? 1 : size]);
  std::memset(buffer.get(), 0x55, size == 0 ? 1 : size);
  const DWORD length = profile::GetSection(contents, section.c_str(),
                                           size == 0 ? nullptr : buffer.get(),
                                           static_cast<DWORD>(size));
  if (size < 2) {
    Check(length == 0, "a buffer of under two bytes holds nothing");
    return;
  }
  Check(length <= size - 2, "the length leaves room for two zero bytes");
  // A list that would fill the buffer exactly counts as cut, as in Wine.
  if (full_length + 1 < size) {
    Check(length == full_length &&
              std::memcmp(buffer.get(), full.data(), length + 1) == 0,
          "a section that fits reads whole");
    return;
  }
  Check(length == size - 2, "a cut section reads as size - 2");
  Check(buffer[size - 2] == '\0' && buffer[size - 1] == '\0',
        "a cut section ends in two zero bytes");
  Check(std::memcmp(buffer.get(), full.data(), size - 2) == 0,
        "a cut section is the beginning of the whole");
}

void CheckString(const std::string& contents, const std::string& section,
                 const std::string& key, const std::string& fallback,
                 std::size_t size) {
  const std::size_t big = contents.size() + fallback.size() + 2;
  std::vector<char> full(big, '\x55');
  const DWORD full_length = profile::GetString(
      contents, true, section.c_str(), key.c_str(), fallback.c_str(),
      full.data(), static_cast<DWORD>(big));
  Check(full_length < big && std::strlen(full.data()) == full_length,
        "a string read is one zero-terminated text");

  std::unique_ptr<char[]> buffer(new char[size == 0 ? 1 : size]);
  const DWORD length = profile::GetString(
      contents, true, section.c_str(), key.c_str(), fallback.c_str(),
      size == 0 ? nullptr : buffer.get(), static_cast<DWORD>(size));
  if (size == 0) {
    Check(length == 0, "no buffer, no text");
  } else {
    // A quoted value cut by the buffer may lose one more character, as
    // Wine drops the closing quote by cutting the last one copied.
    const std::size_t fit = full_length < size ? full_length : size - 1;
    // A two-byte character that did not fit leaves zeros, and the
    // character that a closing quote takes along may be one too.
    const bool dbcs = AnsiIsDoubleByte();
    const std::size_t text = strnlen(buffer.get(), size);
    bool zeros = length < size;
    for (std::size_t i = text; zeros && i < length; ++i) {
      zeros = buffer[i] == '\0';
    }
    Check(length < size && zeros && text <= length &&
              (dbcs || text == length) &&
              std::memcmp(buffer.get(), full.data(), text) == 0 &&
              text + (dbcs ? 3 : 1) >= fit,
          "a string read is the unbounded answer, cut to the buffer");
  }

  // Against the section's entries: the first one of the key decides. The
  // section read takes its name as given, the string read trims it. A
  // comment is found by its key but never listed; in a Unicode file a '?'
  // listed may stand for any character that the code page lacks.
  const bool unicode = contents.compare(0, 2, "\xFF\xFE") == 0 ||
                       contents.compare(0, 2, "\xFE\xFF") == 0 ||
                       contents.compare(0, 3, "\xEF\xBB\xBF") == 0;
  // In a double-byte page names compare by character, not as the bytes
  // compared here.
  if (AnsiIsDoubleByte() || Trim(key).empty() || Trim(section) != section ||
      Trim(key).front() == ';' ||
      (unicode && key.find('?') != std::string::npos)) {
    return;
  }
  std::vector<char> list(contents.size() * 2 + 4);
  DWORD list_length = profile::GetSection(
      contents, section.c_str(), list.data(), static_cast<DWORD>(list.size()));
  for (const std::string& entry : Entries(list.data(), list_length + 1)) {
    // The name as stored: cut by a NUL, blanks before it stay.
    std::size_t equals = entry.find('=');
    if (!EqualsNoCase(std::string_view(entry).substr(0, equals), Trim(key))) {
      continue;
    }
    if (equals != std::string::npos) {
      Check(std::string_view(full.data(), full_length) ==
                Unquote(std::string_view(entry).substr(equals + 1)),
            "a string read gives the value that the section lists");
      return;
    }
    break;  // a bare key has no value: the default answers
  }
  std::vector<char> fallback_only(big);
  DWORD fallback_length = profile::GetString(
      "", true, section.c_str(), key.c_str(), fallback.c_str(),
      fallback_only.data(), static_cast<DWORD>(big));
  Check(std::string_view(full.data(), full_length) ==
            std::string_view(fallback_only.data(), fallback_length),
        "a key the section lacks reads as the default");
}

}  // namespace
}  // namespace ks::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  ks::fuzz::FuzzInput input(data, size);
  const std::size_t buffer_size = input.Number(4096);
  const std::string section = input.Field();
  const std::string key = input.Field();
  const std::string fallback = input.Field();
  const std::string contents = input.Rest();
  ks::fuzz::CheckSection(contents, section, buffer_size);
  ks::fuzz::CheckString(contents, section, key, fallback, buffer_size);
  return 0;
}
