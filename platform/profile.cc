#include "platform/profile.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/codepage.h"

namespace ks {
namespace {

using std::string_view;
using std::u16string_view;

template <typename Unit>
using View = std::basic_string_view<Unit>;
template <typename Unit>
using Str = std::basic_string<Unit>;

// How the bytes of a file are text. A file that starts with a byte-order
// mark is Unicode; every other one is ANSI and read as its bytes.
enum class Encoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

Encoding Detect(string_view raw, size_t* bom) {
  *bom = 0;
  if (raw.substr(0, 3) == "\xEF\xBB\xBF") {
    *bom = 3;
    return Encoding::kUtf8;
  }
  if (raw.substr(0, 2) == "\xFF\xFE") {
    *bom = 2;
    return Encoding::kUtf16Le;
  }
  if (raw.substr(0, 2) == "\xFE\xFF") {
    *bom = 2;
    return Encoding::kUtf16Be;
  }
  return Encoding::kAnsi;
}

// The text of a Unicode file, with where each unit's bytes begin.
struct Decoded {
  Encoding encoding = Encoding::kUtf8;
  std::u16string text;
  // offsets[i]: the first byte of unit i; offsets[text.size()]: the size of
  // the file.
  std::vector<size_t> offsets;
  // The first unit of a cut end of the file (a lone last byte of UTF-16, a
  // UTF-8 sequence that the file ends inside): it would decode otherwise
  // with more bytes behind it. text.size() when the end is whole.
  size_t tail = 0;
};

void PushUnit(Decoded* out, char16_t unit, size_t offset) {
  out->text.push_back(unit);
  out->offsets.push_back(offset);
}

// UTF-16 as Wine reads it: a lone last byte is a unit of its own (its low
// byte).
void DecodeUtf16(string_view raw, size_t bom, bool big_endian, Decoded* out) {
  size_t i = bom;
  for (; i + 1 < raw.size(); i += 2) {
    const auto first = static_cast<unsigned char>(raw[i]);
    const auto second = static_cast<unsigned char>(raw[i + 1]);
    PushUnit(out,
             static_cast<char16_t>(big_endian ? (first << 8) | second
                                              : (second << 8) | first),
             i);
  }
  out->tail = out->text.size();
  if (i < raw.size()) {
    PushUnit(out, static_cast<unsigned char>(raw[i]), i);
  }
}

// The second byte that a UTF-8 lead byte allows: no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool SecondByteFits(unsigned char lead, unsigned char second) {
  if (lead == 0xE0) return second >= 0xA0;
  if (lead == 0xED) return second <= 0x9F;
  if (lead == 0xF0) return second >= 0x90;
  if (lead == 0xF4) return second <= 0x8F;
  return true;
}

// UTF-8 as Wine's MultiByteToWideChar(CP_UTF8) decodes it, bad bytes
// included: a byte that starts no sequence is one U+FFFD; a sequence that
// the file ends inside is one U+FFFD, whatever follows its lead byte; a
// sequence broken by a byte that does not continue it is one U+FFFD up to
// that byte, and that byte is read anew, unless it is a continuation byte
// out of range just after the lead, which the U+FFFD takes along.
void DecodeUtf8(string_view raw, size_t bom, Decoded* out) {
  size_t i = bom;
  out->tail = std::string::npos;
  while (i < raw.size()) {
    const auto lead = static_cast<unsigned char>(raw[i]);
    size_t length = 0;
    char32_t code = 0;
    if (lead < 0x80) {
      PushUnit(out, lead, i++);
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
    } else {
      PushUnit(out, 0xFFFD, i++);
      continue;
    }
    if (raw.size() - i < length) {
      out->tail = out->text.size();
      PushUnit(out, 0xFFFD, i);
      break;
    }
    size_t k = 1;
    for (; k < length; ++k) {
      const auto next = static_cast<unsigned char>(raw[i + k]);
      if ((next & 0xC0u) != 0x80u) break;
      if (k == 1 && !SecondByteFits(lead, next)) {
        ++k;
        break;
      }
      code = (code << 6) | (next & 0x3Fu);
    }
    if (k < length) {
      PushUnit(out, 0xFFFD, i);
      i += k;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      PushUnit(out, static_cast<char16_t>(0xD800 + (code >> 10)), i);
      PushUnit(out, static_cast<char16_t>(0xDC00 + (code & 0x3FF)), i);
    } else {
      PushUnit(out, static_cast<char16_t>(code), i);
    }
    i += length;
  }
  if (out->tail == std::string::npos) out->tail = out->text.size();
}

Decoded Decode(string_view raw, Encoding encoding, size_t bom) {
  Decoded decoded;
  decoded.encoding = encoding;
  decoded.text.reserve(raw.size());
  decoded.offsets.reserve(raw.size() + 1);
  if (encoding == Encoding::kUtf8) {
    DecodeUtf8(raw, bom, &decoded);
  } else {
    DecodeUtf16(raw, bom, encoding == Encoding::kUtf16Be, &decoded);
  }
  decoded.offsets.push_back(raw.size());
  return decoded;
}

std::string Encode(Encoding encoding, u16string_view text) {
  std::string bytes;
  if (encoding == Encoding::kUtf8) {
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      char32_t code = text[i];
      if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() &&
          text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
      } else if (code >= 0xD800 && code <= 0xDFFF) {
        code = 0xFFFD;  // UTF-8 has no lone surrogates
      }
      if (code < 0x80) {
        bytes.push_back(static_cast<char>(code));
      } else if (code < 0x800) {
        bytes.push_back(static_cast<char>(0xC0 | (code >> 6)));
        bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
      } else if (code < 0x10000) {
        bytes.push_back(static_cast<char>(0xE0 | (code >> 12)));
        bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
      } else {
        bytes.push_back(static_cast<char>(0xF0 | (code >> 18)));
        bytes.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
      }
    }
    return bytes;
  }
  const bool big_endian = encoding == Encoding::kUtf16Be;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes.push_back(big_endian ? high : low);
    bytes.push_back(big_endian ? low : high);
  }
  return bytes;
}

// Text handed in by the caller in the unit of the file's text, and text of
// the file handed back: ANSI files are read as their bytes, Unicode ones
// answer in the ANSI code page.
template <typename Unit>
Str<Unit> FromAnsi(string_view ansi);
template <>
std::string FromAnsi<char>(string_view ansi) {
  return std::string(ansi);
}
template <>
std::u16string FromAnsi<char16_t>(string_view ansi) {
  return AnsiToUnicode(ansi);
}

template <typename Unit>
std::string ToAnsi(View<Unit> text);
template <>
std::string ToAnsi<char>(string_view text) {
  return std::string(text);
}
template <>
std::string ToAnsi<char16_t>(u16string_view text) {
  return UnicodeToAnsi(text);
}

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
Unit LowerAscii(Unit c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<Unit>(c - 'A' + 'a') : c;
}

// Names match whatever the case of their ASCII letters, as in Wine; other
// letters must match exactly (Windows would also fold É to é).
template <typename Unit>
bool EqualsNoCase(View<Unit> a, View<Unit> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
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

// A line of the text as offsets into it.
struct Line {
  size_t begin = 0;
  size_t end = 0;   // one past the last unit before the line end
  size_t next = 0;  // one past the line end; == end on an unterminated line
};

// Splits text into lines ended by CR, LF or CRLF.
template <typename Unit>
class LineReader {
 public:
  explicit LineReader(View<Unit> text, size_t pos = 0)
      : text_(text), pos_(pos) {}

  bool Next(Line* line) {
    if (pos_ >= text_.size()) return false;
    line->begin = pos_;
    size_t end = pos_;
    while (end < text_.size() && text_[end] != '\r' && text_[end] != '\n') {
      ++end;
    }
    line->end = end;
    size_t next = end;
    if (next < text_.size()) {
      next += (text_[next] == '\r' && next + 1 < text_.size() &&
               text_[next + 1] == '\n')
                  ? 2
                  : 1;
    }
    line->next = next;
    pos_ = next;
    return true;
  }

  View<Unit> Text(const Line& line) const {
    return text_.substr(line.begin, line.end - line.begin);
  }

 private:
  View<Unit> text_;
  size_t pos_;
};

enum class LineKind { kBlank, kSection, kEntry };

template <typename Unit>
struct ParsedLine {
  LineKind kind = LineKind::kBlank;
  View<Unit> name;  // section name or key, cut at a NUL
  View<Unit> value;
  bool has_value = false;  // the entry has a '='
  // An entry whose key starts with ';': Wine finds it by that key like any
  // entry, but leaves it out of every list.
  bool comment = false;
  // Nothing before the '=' but blanks (a NUL, say, is something).
  bool no_key = false;
};

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
// be null when no entry is wanted.
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
      if (!parsed.name.empty() && EqualsNoCase(parsed.name, section)) {
        scan.found = true;
        scan.header = line;
        scan.last_nonblank = line;
      }
      continue;
    }
    if (!scan.found || parsed.kind == LineKind::kBlank) continue;
    scan.last_nonblank = line;
    if (key != nullptr && !scan.key_found && EqualsNoCase(parsed.name, *key)) {
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
// is cut at size - 2 bytes and ended with two zeros.
class ListWriter {
 public:
  ListWriter(LPSTR buffer, DWORD size)
      : buffer_(buffer), size_(buffer == nullptr ? 0 : size) {}

  void Append(string_view part) {
    // Text goes only below size - 1; Finish() places the terminating zeros.
    const size_t limit = size_ == 0 ? 0 : size_ - 1;
    if (length_ < limit && !part.empty()) {
      const size_t n = std::min(part.size(), limit - length_);
      std::memcpy(buffer_ + length_, part.data(), n);
    }
    length_ += part.size();
  }

  void EndString() {
    const char zero = '\0';
    Append(string_view(&zero, 1));
  }

  DWORD Finish() {
    if (size_ == 0) return 0;
    if (length_ == 0) {
      buffer_[0] = '\0';
      if (size_ >= 2) buffer_[1] = '\0';
      return 0;
    }
    // A list that fills the buffer exactly counts as cut, as in Wine.
    if (length_ + 1 < size_) {
      buffer_[length_] = '\0';
      return static_cast<DWORD>(length_);
    }
    if (size_ < 2) {
      buffer_[0] = '\0';
      return 0;
    }
    buffer_[size_ - 2] = '\0';
    buffer_[size_ - 1] = '\0';
    return size_ - 2;
  }

 private:
  LPSTR buffer_;
  DWORD size_;
  size_t length_ = 0;  // of the whole list, also the part that did not fit
};

// Copies at most size - 1 bytes and a zero; returns the bytes copied.
DWORD CopyString(string_view text, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  const size_t n = std::min<size_t>(text.size(), size - 1);
  if (n > 0) std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

// Copies a value without one pair of matching quotes, as Wine does: it
// drops the closing quote by cutting the last character copied, so a value
// cut short by the buffer loses one more character.
DWORD CopyUnquoted(string_view value, LPSTR buffer, DWORD size) {
  if (Unquote(value).size() == value.size()) {
    return CopyString(value, buffer, size);
  }
  const string_view rest = value.substr(1);
  DWORD n = CopyString(rest, buffer, size);
  if (size >= rest.size() && n > 0) buffer[--n] = '\0';
  return n;
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

// A write's change to the text: units [begin, end) become `text`.
template <typename Unit>
struct Edit {
  bool changed = false;
  size_t begin = 0;
  size_t end = 0;
  Str<Unit> text;
};

// The section answers of the read functions, on the text of an existing
// file.

template <typename Unit>
DWORD ReadSection(View<Unit> text, LPCSTR section, LPSTR buffer, DWORD size) {
  ListWriter out(buffer, size);
  if (section == nullptr) return out.Finish();
  // Unlike the other reads, Wine does not trim the name asked for here.
  const Str<Unit> name = FromAnsi<Unit>(section);
  const SectionScan<Unit> scan =
      ScanSection<Unit>(text, View<Unit>(name), nullptr);
  if (!scan.found) return out.Finish();
  LineReader<Unit> reader(text.substr(0, scan.end), scan.header.next);
  EntryFilter<Unit> filter;
  Line line;
  while (reader.Next(&line)) {
    const ParsedLine<Unit> parsed = Parse(reader.Text(line));
    if (parsed.kind != LineKind::kEntry || !filter.Keep(parsed)) continue;
    // An entry with nothing to show would end the list early.
    if (parsed.comment || (!parsed.has_value && parsed.name.empty())) continue;
    out.Append(ToAnsi(parsed.name));
    if (parsed.has_value) {
      out.Append("=");
      out.Append(ToAnsi(parsed.value));
    }
    out.EndString();
  }
  return out.Finish();
}

template <typename Unit>
DWORD ListSectionNames(View<Unit> text, LPSTR buffer, DWORD size) {
  ListWriter out(buffer, size);
  LineReader<Unit> reader(text);
  Line line;
  while (reader.Next(&line)) {
    const ParsedLine<Unit> parsed = Parse(reader.Text(line));
    if (parsed.kind == LineKind::kSection && !parsed.name.empty()) {
      out.Append(ToAnsi(parsed.name));
      out.EndString();
    }
  }
  return out.Finish();
}

// The key names of a section; false, with the buffer's contents
// unspecified, when the answer is the default instead: a missing section,
// or a list whose first string is empty (no key fits, or the first key is
// the empty one, as Wine tests the list's first character).
template <typename Unit>
bool ListKeys(View<Unit> text, View<Unit> section, LPSTR buffer, DWORD size,
              DWORD* count) {
  const SectionScan<Unit> scan = ScanSection<Unit>(text, section, nullptr);
  if (!scan.found) return false;
  ListWriter out(buffer, size);
  LineReader<Unit> reader(text.substr(0, scan.end), scan.header.next);
  EntryFilter<Unit> filter;
  Line line;
  while (reader.Next(&line)) {
    const ParsedLine<Unit> parsed = Parse(reader.Text(line));
    if (parsed.kind != LineKind::kEntry || !filter.Keep(parsed)) continue;
    if (parsed.comment || !parsed.has_value) continue;
    out.Append(ToAnsi(parsed.name));
    out.EndString();
  }
  *count = out.Finish();
  return buffer[0] != '\0';
}

// The default of a string read: less its trailing spaces, null as "".
string_view Fallback(LPCSTR default_value) {
  string_view fallback = default_value == nullptr ? "" : default_value;
  while (!fallback.empty() && fallback.back() == ' ') fallback.remove_suffix(1);
  return fallback;
}

// The answer of a string read from the key's entry, or null when the
// section has no such key.
template <typename Unit>
DWORD AnswerString(const ParsedLine<Unit>* entry, LPCSTR default_value,
                   LPSTR buffer, DWORD size) {
  if (entry != nullptr && entry->has_value) {
    return CopyUnquoted(ToAnsi(entry->value), buffer, size);
  }
  return CopyUnquoted(Fallback(default_value), buffer, size);
}

// GetPrivateProfileString once the file's text is known (null when the
// file is missing).
template <typename Unit>
DWORD ReadString(const View<Unit>* text, LPCSTR section, LPCSTR key,
                 LPCSTR default_value, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  if (section == nullptr) {
    if (text == nullptr) return ListWriter(buffer, size).Finish();
    return ListSectionNames(*text, buffer, size);
  }
  const string_view fallback = Fallback(default_value);
  // Wine copies the default verbatim for a missing file, but strips its
  // quotes as a value's when the file exists.
  if (text == nullptr) return CopyString(fallback, buffer, size);
  if (key == nullptr) {
    // Wine lists the keys by the section's name untrimmed, as a section
    // read finds it.
    DWORD count = 0;
    if (ListKeys(*text, View<Unit>(FromAnsi<Unit>(section)), buffer, size,
                 &count)) {
      return count;
    }
    return CopyUnquoted(fallback, buffer, size);
  }
  const Str<Unit> section_name = FromAnsi<Unit>(Trim(string_view(section)));
  const Str<Unit> key_name = FromAnsi<Unit>(Trim(string_view(key)));
  const View<Unit> key_view(key_name);
  const SectionScan<Unit> scan =
      ScanSection(*text, View<Unit>(section_name), &key_view);
  return AnswerString(scan.key_found ? &scan.key_entry : nullptr, default_value,
                      buffer, size);
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

// The change that WritePrivateProfileString(section, key, value) makes to
// `text`; false when the write is refused.
template <typename Unit>
bool WriteEdit(View<Unit> text, LPCSTR section, LPCSTR key, LPCSTR value,
               Edit<Unit>* edit) {
  if (section == nullptr) {
    // All three null only flushes Wine's cache: nothing to change.
    return key == nullptr && value == nullptr;
  }
  const Str<Unit> section_name = FromAnsi<Unit>(Trim(string_view(section)));
  const View<Unit> section_view(section_name);

  if (key == nullptr) {
    const SectionScan<Unit> scan =
        ScanSection<Unit>(text, section_view, nullptr);
    if (scan.found) *edit = {true, scan.header.begin, scan.end, {}};
    return true;
  }
  const Str<Unit> key_name = FromAnsi<Unit>(Trim(string_view(key)));
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

std::string Apply(string_view raw, const Edit<char>& edit) {
  std::string result;
  result.reserve(raw.size() - (edit.end - edit.begin) + edit.text.size());
  result.append(raw.substr(0, edit.begin));
  result.append(edit.text);
  result.append(raw.substr(edit.end));
  return result;
}

// The bytes of a Unicode file after `edit` on its text: only the bytes of
// the changed units change, the new ones in the file's own encoding. An
// edit at the end of a file with a cut end takes that end along, written
// whole, so that it reads as before.
std::string Apply(string_view raw, const Decoded& decoded,
                  Edit<char16_t> edit) {
  if (edit.end == decoded.text.size() && decoded.tail < edit.begin) {
    edit.text.insert(0, decoded.text, decoded.tail, edit.begin - decoded.tail);
    edit.begin = decoded.tail;
  }
  const size_t begin = decoded.offsets[edit.begin];
  const size_t end = decoded.offsets[edit.end];
  const std::string bytes = Encode(decoded.encoding, edit.text);
  std::string result;
  result.reserve(raw.size() - (end - begin) + bytes.size());
  result.append(raw.substr(0, begin));
  result.append(bytes);
  result.append(raw.substr(end));
  return result;
}

// The lower-case form of a name, as the bytes of its units, for the index.
void AppendNameId(string_view name, std::string* id) {
  for (char c : name) *id += LowerAscii(c);
}
void AppendNameId(u16string_view name, std::string* id) {
  for (char16_t c : name) {
    const char16_t lower = LowerAscii(c);
    *id += static_cast<char>(lower >> 8);
    *id += static_cast<char>(lower & 0xFF);
  }
}

// A section's id and a key's in it; names hold no NUL unit, so a zero unit
// tells where the section ends.
template <typename Unit>
std::string KeyId(const std::string& section_id, View<Unit> key) {
  std::string id = section_id;
  id.append(sizeof(Unit), '\0');
  AppendNameId(key, &id);
  return id;
}

template <typename Unit>
std::string SectionId(View<Unit> section) {
  std::string id;
  AppendNameId(section, &id);
  return id;
}

}  // namespace

struct ProfileFile::Unicode {
  Decoded decoded;
};

DWORD ProfileGetSection(const std::string& contents, LPCSTR section,
                        LPSTR buffer, DWORD size) {
  size_t bom = 0;
  const Encoding encoding = Detect(contents, &bom);
  if (encoding == Encoding::kAnsi) {
    return ReadSection<char>(contents, section, buffer, size);
  }
  const Decoded decoded = Decode(contents, encoding, bom);
  return ReadSection<char16_t>(decoded.text, section, buffer, size);
}

DWORD ProfileGetString(const std::string& contents, bool file_exists,
                       LPCSTR section, LPCSTR key, LPCSTR default_value,
                       LPSTR buffer, DWORD size) {
  size_t bom = 0;
  const Encoding encoding = Detect(contents, &bom);
  if (!file_exists) {
    return ReadString<char>(nullptr, section, key, default_value, buffer, size);
  }
  if (encoding == Encoding::kAnsi) {
    const string_view text(contents);
    return ReadString<char>(&text, section, key, default_value, buffer, size);
  }
  const Decoded decoded = Decode(contents, encoding, bom);
  const u16string_view text(decoded.text);
  return ReadString<char16_t>(&text, section, key, default_value, buffer, size);
}

bool ProfileWriteString(const std::string& contents, LPCSTR section, LPCSTR key,
                        LPCSTR value, std::string* result) {
  if (result == nullptr) return false;
  size_t bom = 0;
  const Encoding encoding = Detect(contents, &bom);
  if (encoding == Encoding::kAnsi) {
    Edit<char> edit;
    if (!WriteEdit<char>(contents, section, key, value, &edit)) return false;
    *result = edit.changed ? Apply(contents, edit) : contents;
    // A key written first in the file must not make it look Unicode.
    size_t new_bom = 0;
    return Detect(*result, &new_bom) == Encoding::kAnsi;
  }
  const Decoded decoded = Decode(contents, encoding, bom);
  Edit<char16_t> edit;
  if (!WriteEdit<char16_t>(decoded.text, section, key, value, &edit)) {
    return false;
  }
  *result = edit.changed ? Apply(contents, decoded, std::move(edit)) : contents;
  return true;
}

ProfileFile::ProfileFile(std::string contents)
    : contents_(std::move(contents)) {
  Rebuild();
}

void ProfileFile::Rebuild() {
  lines_.clear();
  sections_.clear();
  keys_.clear();
  unicode_.reset();
  size_t bom = 0;
  const Encoding encoding = Detect(contents_, &bom);
  if (encoding == Encoding::kAnsi) {
    Index<char>(contents_);
    return;
  }
  unicode_ = std::make_shared<Unicode>();
  unicode_->decoded = Decode(contents_, encoding, bom);
  Index<char16_t>(unicode_->decoded.text);
}

template <typename Unit>
void ProfileFile::Index(std::basic_string_view<Unit> text) {
  LineReader<Unit> reader(text);
  Line line;
  // The first section, named "", has an empty header at the start; the
  // entries of a repeated section are never read.
  sections_.emplace(std::string(), 0);
  lines_.push_back({0, 0, 0});
  bool indexed = true;
  std::string section;
  while (reader.Next(&line)) {
    const ParsedLine<Unit> parsed = Parse(reader.Text(line));
    if (parsed.kind == LineKind::kSection) {
      section = SectionId(parsed.name);
      indexed = sections_.emplace(section, lines_.size()).second;
      if (indexed) lines_.push_back({line.begin, line.end, line.next});
    } else if (parsed.kind == LineKind::kEntry && indexed) {
      if (keys_.emplace(KeyId(section, parsed.name), lines_.size()).second) {
        lines_.push_back({line.begin, line.end, line.next});
      }
    }
  }
}

template <typename Unit>
bool ProfileFile::Find(LPCSTR section, LPCSTR key, size_t* header,
                       size_t* line) const {
  const std::string section_id =
      SectionId(View<Unit>(FromAnsi<Unit>(Trim(string_view(section)))));
  auto found = sections_.find(section_id);
  if (found == sections_.end()) return false;
  *header = found->second;
  const std::string id =
      KeyId(section_id, View<Unit>(FromAnsi<Unit>(Trim(string_view(key)))));
  auto entry = keys_.find(id);
  *line = entry == keys_.end() ? lines_.size() : entry->second;
  return true;
}

template <typename Unit>
DWORD ProfileFile::IndexedString(std::basic_string_view<Unit> text,
                                 LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer,
                                 DWORD size) const {
  if (buffer == nullptr || size == 0) return 0;
  size_t header = 0;
  size_t line = 0;
  if (!Find<Unit>(section, key, &header, &line) || line == lines_.size()) {
    return AnswerString<Unit>(nullptr, default_value, buffer, size);
  }
  const Span& span = lines_[line];
  const ParsedLine<Unit> entry =
      Parse(text.substr(span.begin, span.end - span.begin));
  return AnswerString(&entry, default_value, buffer, size);
}

DWORD ProfileFile::GetString(LPCSTR section, LPCSTR key, LPCSTR default_value,
                             LPSTR buffer, DWORD size) const {
  if (section == nullptr || key == nullptr) {
    return ProfileGetString(contents_, true, section, key, default_value,
                            buffer, size);
  }
  if (unicode_ != nullptr) {
    return IndexedString<char16_t>(unicode_->decoded.text, section, key,
                                   default_value, buffer, size);
  }
  return IndexedString<char>(contents_, section, key, default_value, buffer,
                             size);
}

DWORD ProfileFile::GetSection(LPCSTR section, LPSTR buffer, DWORD size) const {
  if (unicode_ != nullptr) {
    return ReadSection<char16_t>(unicode_->decoded.text, section, buffer, size);
  }
  return ReadSection<char>(contents_, section, buffer, size);
}

bool ProfileFile::WriteString(LPCSTR section, LPCSTR key, LPCSTR value) {
  size_t header = 0;
  size_t line = 0;
  // A new value for a key of an ANSI file that is there, not on its first
  // line (which the write must keep from starting with a byte-order mark):
  // only the key's line changes. The write of the header and that line alone
  // makes the same change, since a write finds the key as a read does.
  if (unicode_ == nullptr && section != nullptr && key != nullptr &&
      value != nullptr && Find<char>(section, key, &header, &line) &&
      line < lines_.size() && lines_[line].begin > 0) {
    const Span& h = lines_[header];
    Span& old = lines_[line];
    const size_t header_size = h.next - h.begin;
    std::string excerpt = contents_.substr(h.begin, header_size);
    excerpt.append(contents_, old.begin, old.next - old.begin);
    Edit<char> edit;
    if (!WriteEdit<char>(excerpt, section, key, value, &edit)) return false;
    if (!edit.changed) return true;
    if (edit.begin == header_size &&
        edit.end == header_size + (old.end - old.begin)) {
      const size_t old_size = old.end - old.begin;
      contents_.replace(old.begin, old_size, edit.text);
      old.end = old.begin + edit.text.size();
      old.next = old.next - old_size + edit.text.size();
      // The lines after it move by the change in length.
      for (size_t i = line + 1; i < lines_.size(); ++i) {
        Span& moved = lines_[i];
        moved.begin = moved.begin - old_size + edit.text.size();
        moved.end = moved.end - old_size + edit.text.size();
        moved.next = moved.next - old_size + edit.text.size();
      }
      return true;
    }
  }
  std::string written;
  if (unicode_ != nullptr) {
    Edit<char16_t> edit;
    if (!WriteEdit<char16_t>(unicode_->decoded.text, section, key, value,
                             &edit)) {
      return false;
    }
    if (!edit.changed) return true;
    written = Apply(contents_, unicode_->decoded, std::move(edit));
  } else if (!ProfileWriteString(contents_, section, key, value, &written)) {
    return false;
  }
  contents_ = std::move(written);
  Rebuild();
  return true;
}

}  // namespace ks
