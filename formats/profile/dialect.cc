#include "formats/profile/dialect.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "formats/profile/encoding.h"
#include "formats/text.h"

namespace ks::profile {
namespace {

using std::string_view;

template <typename Unit>
using View = std::basic_string_view<Unit>;
template <typename Unit>
using Str = std::basic_string<Unit>;

// A blank as Wine's profile code knows it: C isspace() of ASCII, plus
// Ctrl-Z, which DOS editors leave at the end of files. Nothing beyond
// ASCII (not U+00A0) counts.
template <typename Unit>
bool IsBlank(Unit c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r' || c == '\x1a';
}

template <typename Unit>
View<Unit> Trim(View<Unit> s) {
  size_t begin = 0;
  while (begin < s.size() && IsBlank(s[begin])) ++begin;
  size_t end = s.size();
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

// What callers get to see of a trimmed name or value: Wine keeps them as
// zero-terminated strings, so a NUL ends the field there, and blanks before
// that NUL stay.
template <typename Unit>
View<Unit> CutAtNul(View<Unit> s) {
  const size_t nul = s.find(Unit{0});
  return nul == View<Unit>::npos ? s : s.substr(0, nul);
}

template <typename Unit>
bool HasLineBreak(View<Unit> s) {
  for (Unit c : s) {
    if (c == '\r' || c == '\n') return true;
  }
  return false;
}

// One pair of matching quotes around a value is not part of it.
template <typename Unit>
View<Unit> Unquote(View<Unit> v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
      v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

}  // namespace

template <typename Unit>
ParsedLine<Unit> Parse(View<Unit> text) {
  ParsedLine<Unit> parsed;
  const View<Unit> line = Trim(text);
  if (line.empty()) return parsed;
  if (line.front() == '[') {
    const size_t close = line.rfind(Unit{']'});
    if (close != View<Unit>::npos) {
      parsed.kind = LineKind::kSection;
      parsed.name = CutAtNul(Trim(line.substr(1, close - 1)));
      return parsed;
    }
    // Without a ']' it is an ordinary entry.
  }
  parsed.kind = LineKind::kEntry;
  parsed.comment = line.front() == ';';
  const size_t equals = line.find(Unit{'='});
  const View<Unit> key = Trim(line.substr(0, equals));
  parsed.no_key = key.empty();
  parsed.name = CutAtNul(key);
  if (equals != View<Unit>::npos) {
    parsed.value = CutAtNul(Trim(line.substr(equals + 1)));
    parsed.has_value = true;
  }
  return parsed;
}

template <typename Unit>
Str<Unit> CallerName(LPCSTR name) {
  return FromAnsi<Unit>(Trim(string_view(name)));
}

namespace {

// Follows Wine's rule for keyless entries in a section: such an entry is
// dropped when the entry kept just before it also has an empty key
// (comments are kept entries; blank lines are none).
template <typename Unit>
class EntryFilter {
 public:
  // Call at each header.
  void Reset() { previous_empty_ = false; }
  // True when `entry` is kept.
  bool Keep(const ParsedLine<Unit>& entry) {
    if (entry.no_key && previous_empty_) return false;
    previous_empty_ = entry.name.empty();
    return true;
  }

 private:
  bool previous_empty_ = false;
};

// Where the first section of a name lies, and where in it the first entry
// of a key.
template <typename Unit>
struct SectionScan {
  bool found = false;
  Line header;
  Line last_nonblank;  // the header when nothing else in the section is
  size_t end = 0;      // where the next section's header starts, or EOF
  bool key_found = false;
  Line key_line;
  ParsedLine<Unit> key_entry;
};

// The lines before the first header are a section of their own, named
// "" (Wine's first section, there even when empty); a header whose name is
// empty only repeats that name, so it is never found. `key`, trimmed, may
// be null when no entry is wanted. Names match whatever the case of their
// ASCII letters, as in Wine; other letters must match exactly (Windows
// would also fold É to é). ANSI text here is of a single-byte page: in a
// double-byte one the file is decoded first (encoding.h), so a trail byte
// never folds.
template <typename Unit>
SectionScan<Unit> ScanSection(View<Unit> text, View<Unit> section,
                              const View<Unit>* key) {
  SectionScan<Unit> scan;
  // The first section's header is an empty line at the start.
  scan.found = section.empty();
  LineReader<Unit> reader(text);
  Line line;
  while (reader.Next(&line)) {
    const ParsedLine<Unit> parsed = Parse(reader.Text(line));
    if (parsed.kind == LineKind::kSection) {
      if (scan.found) {
        scan.end = line.begin;
        return scan;
      }
      if (!parsed.name.empty() &&
          EqualsIgnoringAsciiCase(parsed.name, section)) {
        scan.found = true;
        scan.header = line;
        scan.last_nonblank = line;
      }
      continue;
    }
    if (!scan.found || parsed.kind == LineKind::kBlank) continue;
    scan.last_nonblank = line;
    if (key != nullptr && !scan.key_found &&
        EqualsIgnoringAsciiCase(parsed.name, *key)) {
      scan.key_found = true;
      scan.key_line = line;
      scan.key_entry = parsed;
    }
  }
  scan.end = text.size();
  return scan;
}

// Fills a caller's buffer with a list of zero-terminated strings and one
// more zero, truncating as GetPrivateProfileSection does: what does not fit
// is cut at size - 2 units and ended with two zeros. `Out` is char for an
// ANSI answer, char16_t for the Unicode one that a Unicode file's string
// reads are first made in (WideAnswer).
template <typename Out>
class ListWriter {
 public:
  ListWriter(Out* buffer, DWORD size)
      : buffer_(buffer), size_(buffer == nullptr ? 0 : size) {}

  void Append(View<Out> part) {
    // Text goes only below size - 1; Finish() places the terminating zeros.
    const size_t limit = size_ == 0 ? 0 : size_ - 1;
    if (length_ < limit && !part.empty()) {
      const size_t n = std::min(part.size(), limit - length_);
      std::copy_n(part.data(), n, buffer_ + length_);
    }
    length_ += part.size();
  }

  void EndString() {
    const Out zero = 0;
    Append(View<Out>(&zero, 1));
  }

  DWORD Finish() {
    if (size_ == 0) return 0;
    if (length_ == 0) {
      buffer_[0] = 0;
      if (size_ >= 2) buffer_[1] = 0;
      return 0;
    }
    // A list that fills the buffer exactly counts as cut, as in Wine.
    if (length_ + 1 < size_) {
      buffer_[length_] = 0;
      return static_cast<DWORD>(length_);
    }
    if (size_ < 2) {
      buffer_[0] = 0;
      return 0;
    }
    buffer_[size_ - 2] = 0;
    buffer_[size_ - 1] = 0;
    return size_ - 2;
  }

 private:
  Out* buffer_;
  DWORD size_;
  size_t length_ = 0;  // of the whole list, also the part that did not fit
};

// Copies at most size - 1 units and a zero; returns the units copied.
template <typename Out>
DWORD CopyString(View<Out> text, Out* buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  const size_t n = std::min<size_t>(text.size(), size - 1);
  std::copy_n(text.data(), n, buffer);
  buffer[n] = 0;
  return static_cast<DWORD>(n);
}

// Copies a value without one pair of matching quotes, as Wine does: it
// drops the closing quote by cutting the last character copied, so a value
// cut short by the buffer loses one more character.
template <typename Out>
DWORD CopyUnquoted(View<Out> value, Out* buffer, DWORD size) {
  if (Unquote(value).size() == value.size()) {
    return CopyString(value, buffer, size);
  }
  const View<Out> rest = value.substr(1);
  DWORD n = CopyString(rest, buffer, size);
  if (size >= rest.size() && n > 0) buffer[--n] = 0;
  return n;
}

// GetPrivateProfileStringA's answer from the Unicode answer `wide` of
// `count` units (a list's inner zeros included), as Wine makes it: the
// units in the ANSI code page when they fit in size - 1 bytes; else as
// many whole characters as fit, counted as size - 1, so that no answer
// ends in half a character. Wine leaves the caller's bytes where a
// two-byte character did not fit; zeros go there instead. A list that was
// cut, or is empty, keeps its second closing zero.
DWORD WideAnswer(std::u16string_view wide, DWORD count, bool list, LPSTR buffer,
                 DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  const std::string ansi = UnicodeToAnsi(wide.substr(0, count));
  size_t n = ansi.size();
  if (n > size - 1) {
    n = 0;
    for (size_t next = 0; (next = NextAnsiChar(ansi, n)) <= size - 1;) {
      n = next;
    }
    std::fill(buffer + n, buffer + size, '\0');
    std::memcpy(buffer, ansi.data(), n);
    return size - 1;
  }
  std::memcpy(buffer, ansi.data(), n);
  buffer[n] = '\0';
  if (list && (n == 0 || n + 2 == size) && n + 1 < size) buffer[n + 1] = '\0';
  return static_cast<DWORD>(n);
}

// The line end that new lines get: the file's first one, CRLF when it has
// none.
template <typename Unit>
Str<Unit> LineEndStyle(View<Unit> text) {
  size_t pos = 0;
  while (pos < text.size() && text[pos] != '\r' && text[pos] != '\n') ++pos;
  const Unit cr = '\r';
  const Unit lf = '\n';
  if (pos == text.size()) return Str<Unit>{cr, lf};
  if (text[pos] == '\n') return Str<Unit>{lf};
  if (pos + 1 < text.size() && text[pos + 1] == '\n') return Str<Unit>{cr, lf};
  return Str<Unit>{cr};
}

// A value as written so that reading it back (trim, then strip one pair of
// quotes) gives exactly `value`.
template <typename Unit>
Str<Unit> EncodeValue(View<Unit> value) {
  const bool wrap =
      !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                         Unquote(value).size() != value.size());
  if (!wrap) return Str<Unit>(value);
  Str<Unit> encoded;
  encoded.reserve(value.size() + 2);
  encoded += Unit{'"'};
  encoded += value;
  encoded += Unit{'"'};
  return encoded;
}

template <typename Unit>
DWORD ListSectionNames(View<Unit> text, Unit* buffer, DWORD size) {
  ListWriter<Unit> out(buffer, size);
  LineReader<Unit> reader(text);
  Line line;
  while (reader.Next(&line)) {
    const ParsedLine<Unit> parsed = Parse(reader.Text(line));
    if (parsed.kind == LineKind::kSection && !parsed.name.empty()) {
      out.Append(parsed.name);
      out.EndString();
    }
  }
  return out.Finish();
}

// Calls `visit` with each entry of the section that `scan` found which a
// list shows (no comment, none that EntryFilter drops), in file order.
template <typename Unit, typename Visit>
void ForEachListedEntry(View<Unit> text, const SectionScan<Unit>& scan,
                        Visit visit) {
  LineReader<Unit> reader(text.substr(0, scan.end), scan.header.next);
  EntryFilter<Unit> filter;
  Line line;
  while (reader.Next(&line)) {
    const ParsedLine<Unit> parsed = Parse(reader.Text(line));
    if (parsed.kind != LineKind::kEntry || !filter.Keep(parsed)) continue;
    if (!parsed.comment) visit(parsed);
  }
}

// The key names of a section; false, with the buffer's contents
// unspecified, when the answer is the default instead: a missing section,
// or a list whose first string is empty (no key fits, or the first key is
// the empty one, as Wine tests the list's first character).
template <typename Unit>
bool ListKeys(View<Unit> text, View<Unit> section, Unit* buffer, DWORD size,
              DWORD* count) {
  const SectionScan<Unit> scan = ScanSection<Unit>(text, section, nullptr);
  if (!scan.found) return false;
  ListWriter<Unit> out(buffer, size);
  ForEachListedEntry<Unit>(text, scan, [&out](const ParsedLine<Unit>& entry) {
    if (!entry.has_value) return;
    out.Append(entry.name);
    out.EndString();
  });
  *count = out.Finish();
  return buffer[0] != 0;
}

// The default of a string read in the unit of the text: less its trailing
// spaces, null as "".
template <typename Unit>
Str<Unit> Fallback(LPCSTR default_value) {
  Str<Unit> fallback =
      FromAnsi<Unit>(default_value == nullptr ? "" : default_value);
  while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
  return fallback;
}

// A string read's answer made in the unit of the text by `answer(out,
// out_size, &list)`, into the caller's ANSI buffer of `size` bytes:
// directly for ANSI text, through WideAnswer for Unicode text, as Wine's A
// function wraps its W one. No answer takes more than `most` units, so a
// Unicode buffer of that many, when it is fewer than `size`, cuts nothing
// that one of `size` would not (and spares a huge caller's buffer twice
// over).
template <typename Unit, typename Answer>
DWORD InCallerBuffer(LPSTR buffer, DWORD size, std::size_t most,
                     Answer answer) {
  bool list = false;
  if constexpr (std::is_same_v<Unit, char>) {
    return answer(buffer, size, &list);
  } else {
    const auto units = static_cast<DWORD>(std::min<std::size_t>(size, most));
    std::u16string wide(units, u'\0');
    const DWORD count = answer(wide.data(), units, &list);
    return WideAnswer(wide, count, list, buffer, size);
  }
}

// More units than a string read's answer may take: a value or list of
// `text_units` of text, or the default, and their closing zeros.
std::size_t MostUnits(std::size_t text_units, LPCSTR default_value) {
  return text_units +
         (default_value != nullptr ? std::strlen(default_value) : 0) + 4;
}

// The answer of a string read from the key's entry, or from the default
// when `entry` is null, in the unit of the text.
template <typename Unit>
DWORD EntryAnswer(const ParsedLine<Unit>* entry, LPCSTR default_value,
                  Unit* out, DWORD size) {
  if (entry != nullptr && entry->has_value) {
    return CopyUnquoted(entry->value, out, size);
  }
  return CopyUnquoted(View<Unit>(Fallback<Unit>(default_value)), out, size);
}

// GetPrivateProfileString's answer in the unit of the text (null when the
// file is missing); *list tells whether it is a list of strings.
template <typename Unit>
DWORD StringAnswer(const View<Unit>* text, LPCSTR section, LPCSTR key,
                   LPCSTR default_value, Unit* out, DWORD size, bool* list) {
  *list = section == nullptr;
  if (section == nullptr) {
    if (text == nullptr) return ListWriter<Unit>(out, size).Finish();
    return ListSectionNames(*text, out, size);
  }
  const Str<Unit> fallback = Fallback<Unit>(default_value);
  // Wine copies the default verbatim for a missing file, but strips its
  // quotes as a value's when the file exists.
  if (text == nullptr) return CopyString(View<Unit>(fallback), out, size);
  if (key == nullptr) {
    // Wine lists the keys by the section's name untrimmed, as a section
    // read finds it.
    DWORD count = 0;
    if (ListKeys(*text, View<Unit>(FromAnsi<Unit>(section)), out, size,
                 &count)) {
      *list = true;
      return count;
    }
    return CopyUnquoted(View<Unit>(fallback), out, size);
  }
  const Str<Unit> section_name = CallerName<Unit>(section);
  const Str<Unit> key_name = CallerName<Unit>(key);
  const View<Unit> key_view(key_name);
  const SectionScan<Unit> scan =
      ScanSection(*text, View<Unit>(section_name), &key_view);
  return EntryAnswer(scan.key_found ? &scan.key_entry : nullptr, default_value,
                     out, size);
}

// A key line that reads back as `key` with `value` and nothing else: no
// line break, no '=' in the key, and no ']' on a line that starts with
// '[' (it would be a header).
template <typename Unit>
bool IsWritableEntry(View<Unit> key, View<Unit> value) {
  if (HasLineBreak(key) || HasLineBreak(value)) return false;
  if (key.find(Unit{'='}) != View<Unit>::npos) return false;
  if (!key.empty() && key.front() == '[' &&
      (key.find(Unit{']'}) != View<Unit>::npos ||
       value.find(Unit{']'}) != View<Unit>::npos)) {
    return false;
  }
  return true;
}

}  // namespace

template <typename Unit>
DWORD ReadSection(View<Unit> text, LPCSTR section, LPSTR buffer, DWORD size) {
  // Wine's A function converts whole lists here: cut in ANSI bytes.
  ListWriter<char> out(buffer, size);
  if (section == nullptr) return out.Finish();
  // Unlike the other reads, Wine does not trim the name asked for here.
  const Str<Unit> name = FromAnsi<Unit>(section);
  const SectionScan<Unit> scan =
      ScanSection<Unit>(text, View<Unit>(name), nullptr);
  if (!scan.found) return out.Finish();
  ForEachListedEntry<Unit>(text, scan, [&out](const ParsedLine<Unit>& entry) {
    // An entry with nothing to show would end the list early.
    if (!entry.has_value && entry.name.empty()) return;
    out.Append(ToAnsi(entry.name));
    if (entry.has_value) {
      out.Append("=");
      out.Append(ToAnsi(entry.value));
    }
    out.EndString();
  });
  return out.Finish();
}

template <typename Unit>
void ForEachListedKey(View<Unit> text, LPCSTR section,
                      const std::function<bool(std::string_view)>& visit) {
  if (section == nullptr) return;
  const Str<Unit> name = FromAnsi<Unit>(section);
  const SectionScan<Unit> scan =
      ScanSection<Unit>(text, View<Unit>(name), nullptr);
  if (!scan.found) return;
  bool going = true;
  ForEachListedEntry<Unit>(text, scan, [&](const ParsedLine<Unit>& entry) {
    // As ReadSection: an entry with nothing to show is not listed.
    if (!going || (!entry.has_value && entry.name.empty())) return;
    if constexpr (std::is_same_v<Unit, char>) {
      going = visit(entry.name);
    } else {
      going = visit(ToAnsi(entry.name));
    }
  });
}

// The answer of a string read from the key's entry, or null when the
// section has no such key.
template <typename Unit>
DWORD AnswerString(const ParsedLine<Unit>* entry, LPCSTR default_value,
                   LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  const std::size_t most =
      MostUnits(entry != nullptr ? entry->value.size() : 0, default_value);
  return InCallerBuffer<Unit>(
      buffer, size, most, [&](Unit* out, DWORD out_size, bool*) {
        return EntryAnswer(entry, default_value, out, out_size);
      });
}

// GetPrivateProfileString once the file's text is known (null when the
// file is missing).
template <typename Unit>
DWORD ReadString(const View<Unit>* text, LPCSTR section, LPCSTR key,
                 LPCSTR default_value, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  const std::size_t most =
      MostUnits(text != nullptr ? text->size() : 0, default_value);
  return InCallerBuffer<Unit>(
      buffer, size, most, [&](Unit* out, DWORD out_size, bool* list) {
        return StringAnswer(text, section, key, default_value, out, out_size,
                            list);
      });
}

// The change that WritePrivateProfileString(section, key, value) makes to
// `text`; false when the write is refused.
template <typename Unit>
bool WriteEdit(View<Unit> text, LPCSTR section, LPCSTR key, LPCSTR value,
               Edit<Unit>* edit) {
  if (section == nullptr) {
    // All three null only flushes Wine's cache: nothing to change.
    return key == nullptr && value == nullptr;
  }
  const Str<Unit> section_name = CallerName<Unit>(section);
  const View<Unit> section_view(section_name);

  if (key == nullptr) {
    const SectionScan<Unit> scan =
        ScanSection<Unit>(text, section_view, nullptr);
    if (scan.found) *edit = {true, scan.header.begin, scan.end, {}};
    return true;
  }
  const Str<Unit> key_name = CallerName<Unit>(key);
  const View<Unit> key_view(key_name);
  if (value == nullptr) {
    const SectionScan<Unit> scan = ScanSection(text, section_view, &key_view);
    if (scan.key_found) {
      *edit = {true, scan.key_line.begin, scan.key_line.next, {}};
    }
    return true;
  }

  const Str<Unit> new_value = FromAnsi<Unit>(value);
  const Str<Unit> encoded = EncodeValue(View<Unit>(new_value));
  if (HasLineBreak(section_view) ||
      !IsWritableEntry(key_view, View<Unit>(encoded))) {
    return false;
  }
  const SectionScan<Unit> scan = ScanSection(text, section_view, &key_view);

  if (scan.key_found) {
    const ParsedLine<Unit>& entry = scan.key_entry;
    // As in Wine, the same value as stored leaves the file as it is.
    if (entry.has_value && entry.value == View<Unit>(encoded)) {
      return true;
    }
    // The key keeps its stored spelling; the line keeps its line end.
    Str<Unit> line(entry.name);
    line += Unit{'='};
    line += encoded;
    *edit = {true, scan.key_line.begin, scan.key_line.end, std::move(line)};
    return true;
  }

  const Str<Unit> eol = LineEndStyle(text);
  Str<Unit> added;
  if (scan.found) {
    // After the section's last non-blank line, so that blank lines before
    // the next header stay where they are.
    const Line& after = scan.last_nonblank;
    // Not after the first section's empty header, but after the file's
    // last line when that has no line end.
    if (after.next != 0 && after.next == after.end) added += eol;
    added += key_view;
    added += Unit{'='};
    added += encoded;
    added += eol;
    *edit = {true, after.next, after.next, std::move(added)};
    return true;
  }
  if (!text.empty() && text.back() != '\n' && text.back() != '\r') {
    added += eol;
  }
  added += Unit{'['};
  added += section_view;
  added += Unit{']'};
  added += eol;
  added += key_view;
  added += Unit{'='};
  added += encoded;
  added += eol;
  *edit = {true, text.size(), text.size(), std::move(added)};
  return true;
}

template ParsedLine<char> Parse(View<char>);
template ParsedLine<char16_t> Parse(View<char16_t>);
template Str<char> CallerName<char>(LPCSTR);
template Str<char16_t> CallerName<char16_t>(LPCSTR);
template DWORD ReadSection(View<char>, LPCSTR, LPSTR, DWORD);
template DWORD ReadSection(View<char16_t>, LPCSTR, LPSTR, DWORD);
template void ForEachListedKey(View<char>, LPCSTR,
                               const std::function<bool(std::string_view)>&);
template void ForEachListedKey(View<char16_t>, LPCSTR,
                               const std::function<bool(std::string_view)>&);
template DWORD ReadString(const View<char>*, LPCSTR, LPCSTR, LPCSTR, LPSTR,
                          DWORD);
template DWORD ReadString(const View<char16_t>*, LPCSTR, LPCSTR, LPCSTR, LPSTR,
                          DWORD);
template DWORD AnswerString(const ParsedLine<char>*, LPCSTR, LPSTR, DWORD);
template DWORD AnswerString(const ParsedLine<char16_t>*, LPCSTR, LPSTR, DWORD);
template bool WriteEdit(View<char>, LPCSTR, LPCSTR, LPCSTR, Edit<char>*);
template bool WriteEdit(View<char16_t>, LPCSTR, LPCSTR, LPCSTR,
                        Edit<char16_t>*);

}  // namespace ks::profile
