// The profile writer on any file text and names.
// Input: action \0 section \0 key \0 value \0 file text, where the action is
// "w" (write the value), "k" (delete the key) or "s" (delete the section).
//
// A write is refused exactly when it could not read back; otherwise the
// value reads back unchanged, writing it again changes nothing, and every
// other entry and section reads as before. A deletion removes the first
// entry (or section) of the name and nothing else.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "formats/profile/file.h"
#include "formats/profile/profile.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_text.h"

namespace ks::fuzz {
namespace {

using ks::profile::GetSection;
using ks::profile::GetString;
using ks::profile::WriteString;

bool HasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

// A zero-separated list read whole, as its entries.
std::vector<std::string> List(const std::string& contents, const char* section,
                              bool sections) {
  std::vector<char> buffer(contents.size() * 2 + 4);
  DWORD length =
      sections
          ? profile::GetString(contents, true, nullptr, nullptr, "",
                               buffer.data(), static_cast<DWORD>(buffer.size()))
          : profile::GetSection(contents, section, buffer.data(),
                                static_cast<DWORD>(buffer.size()));
  std::vector<std::string> entries;
  for (std::size_t i = 0; i < length && buffer[i] != '\0';) {
    entries.emplace_back(buffer.data() + i);
    i += entries.back().size() + 1;
  }
  return entries;
}

std::string Value(const std::string& contents, const std::string& section,
                  const std::string& key) {
  std::vector<char> buffer(contents.size() + 2);
  DWORD length =
      profile::GetString(contents, true, section.c_str(), key.c_str(), "",
                         buffer.data(), static_cast<DWORD>(buffer.size()));
  return std::string(buffer.data(), length);
}

// The listed name is the one stored, which a lookup of `key` must equal.
bool EntryIsKey(const std::string& entry, std::string_view key) {
  return EqualsNoCase(std::string_view(entry).substr(0, entry.find('=')), key);
}

// The list without its first element that `matches`.
template <typename Matches>
std::vector<std::string> WithoutFirst(std::vector<std::string> list,
                                      Matches matches) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (matches(*it)) {
      list.erase(it);
      break;
    }
  }
  return list;
}

// Every section other than `section` (and the first 16 at most) lists the
// same entries in both texts.
void CheckOtherSections(const std::string& before, const std::string& after,
                        std::string_view section) {
  int checked = 0;
  for (const std::string& name : List(before, nullptr, true)) {
    if (EqualsNoCase(Trim(name), Trim(section))) continue;
    if (++checked > 16) break;
    Check(List(before, name.c_str(), false) == List(after, name.c_str(), false),
          "a write leaves the other sections alone");
  }
}

void CheckWrite(const std::string& contents, const std::string& section,
                const std::string& key, const std::string& value) {
  std::string after;
  const bool written = profile::WriteString(contents, section.c_str(),
                                            key.c_str(), value.c_str(), &after);
  const std::string_view trimmed_key = Trim(key);
  // Refused: what would make another line, and a key line that would read as
  // a header or as another key.
  const bool refused = HasLineBreak(Trim(section)) ||
                       HasLineBreak(trimmed_key) ||
                       trimmed_key.find('=') != std::string::npos ||
                       (!trimmed_key.empty() && trimmed_key.front() == '[' &&
                        (trimmed_key.find(']') != std::string::npos ||
                         value.find(']') != std::string::npos)) ||
                       HasLineBreak(value);
  // A key written first in a file may begin with a byte-order mark, which
  // would make the file another one: refused too.
  const bool mark = trimmed_key.substr(0, 2) == "\xFF\xFE" ||
                    trimmed_key.substr(0, 2) == "\xFE\xFF" ||
                    trimmed_key.substr(0, 3) == "\xEF\xBB\xBF";
  Check(written == !refused || (mark && !written),
        "a write is refused only when it must be");
  if (!written) return;

  Check(Value(after, section, key) == value, "a value reads back unchanged");
  std::string again;
  Check(profile::WriteString(after, section.c_str(), key.c_str(), value.c_str(),
                             &again) &&
            again == after,
        "writing the same value again changes nothing");
  CheckOtherSections(contents, after, section);
  if (trimmed_key.empty()) return;  // "" also finds entries cut by a NUL
  auto other = [&](const std::vector<std::string>& list) {
    std::vector<std::string> kept;
    for (const std::string& entry : list) {
      if (!EntryIsKey(entry, trimmed_key)) kept.push_back(entry);
    }
    return kept;
  };
  // The section read takes its name as given; the write trims it.
  const std::string name(Trim(section));
  Check(other(List(contents, name.c_str(), false)) ==
            other(List(after, name.c_str(), false)),
        "a write leaves the section's other entries alone");
}

// Whether a line of an ANSI text starts with a byte-order mark: a deletion
// of what comes before it would make the file read as Unicode, and is
// refused as such a write is.
bool MarkStartsALine(const std::string& contents) {
  for (const char* mark : {"\xFF\xFE", "\xFE\xFF", "\xEF\xBB\xBF"}) {
    for (std::size_t at = contents.find(mark, 1); at != std::string::npos;
         at = contents.find(mark, at + 1)) {
      if (contents[at - 1] == '\n' || contents[at - 1] == '\r') return true;
    }
  }
  return false;
}

void CheckDeleteKey(const std::string& contents, const std::string& section,
                    const std::string& key) {
  std::string after;
  if (!profile::WriteString(contents, section.c_str(), key.c_str(), nullptr,
                            &after)) {
    Check(MarkStartsALine(contents), "a key can always be deleted");
    return;
  }
  CheckOtherSections(contents, after, section);
  const std::string_view trimmed_key = Trim(key);
  if (trimmed_key.empty()) return;
  const std::string name(Trim(section));
  // A keyless entry after the deleted one may now follow another keyless
  // one, which drops it, as Wine drops it when it reads the file again.
  auto keyed = [](std::vector<std::string> list) {
    std::vector<std::string> kept;
    for (std::string& entry : list) {
      if (entry.front() != '=') kept.push_back(std::move(entry));
    }
    return kept;
  };
  Check(keyed(WithoutFirst(List(contents, name.c_str(), false),
                           [&](const std::string& entry) {
                             return EntryIsKey(entry, trimmed_key);
                           })) == keyed(List(after, name.c_str(), false)),
        "deleting a key removes its first entry and nothing else");
}

void CheckDeleteSection(const std::string& contents,
                        const std::string& section) {
  std::string after;
  if (!profile::WriteString(contents, section.c_str(), nullptr, nullptr,
                            &after)) {
    Check(MarkStartsALine(contents), "a section can always be deleted");
    return;
  }
  if (Trim(section).empty()) return;  // "[]" is listed by no name
  // A listed name is the stored one, blanks that a zero byte cut off the
  // end of ("[m\x1a\0...]" is listed as "m\x1a") included: only a name
  // equal to the caller's, trimmed, is deleted, as on Windows.
  Check(WithoutFirst(List(contents, nullptr, true),
                     [&](const std::string& name) {
                       return EqualsNoCase(name, Trim(section));
                     }) == List(after, nullptr, true),
        "deleting a section removes its first header and nothing else");
  CheckOtherSections(contents, after, section);
}

}  // namespace
}  // namespace ks::fuzz

namespace ks::fuzz {
namespace {

// The indexed file that the provider keeps between calls answers and writes
// exactly as the functions on its text do, over two writes in a row.
void CheckIndexedFile(const std::string& contents, const std::string& section,
                      const std::string& key, const std::string& value) {
  profile::File file(contents);
  std::string text = contents;
  for (const char* v : {value.c_str(), "0000000001"}) {
    std::string expected;
    const bool written =
        profile::WriteString(text, section.c_str(), key.c_str(), v, &expected);
    bool changed = false;
    Check(
        file.WriteString(section.c_str(), key.c_str(), v, &changed) == written,
        "the indexed file refuses a write as the text does");
    Check(changed == (written && expected != text),
          "the indexed file tells whether the write changed its text");
    if (written) text = expected;
    Check(file.contents() == text, "the indexed file writes as the text does");
    for (DWORD size : {DWORD{2}, DWORD{80}}) {
      char got[80];
      char want[80];
      std::memset(got, 1, sizeof got);
      std::memset(want, 1, sizeof want);
      const DWORD n =
          file.GetString(section.c_str(), key.c_str(), "dflt", got, size);
      const DWORD m = profile::GetString(text, true, section.c_str(),
                                         key.c_str(), "dflt", want, size);
      Check(n == m && std::memcmp(got, want, sizeof got) == 0,
            "the indexed file reads a key as the text does");
    }
  }
}

}  // namespace
}  // namespace ks::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  ks::fuzz::FuzzInput input(data, size);
  const std::string action = input.Field();
  const std::string section = input.Field();
  const std::string key = input.Field();
  const std::string value = input.Field();
  const std::string contents = input.Rest();
  ks::fuzz::CheckIndexedFile(contents, section, key, value);
  if (action == "k") {
    ks::fuzz::CheckDeleteKey(contents, section, key);
  } else if (action == "s") {
    ks::fuzz::CheckDeleteSection(contents, section);
  } else {
    ks::fuzz::CheckWrite(contents, section, key, value);
  }
  return 0;
}
