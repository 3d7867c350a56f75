// The profile rules that formats/profile/profile.h describes, on the text of a
// file in its units (formats/profile/encoding.h): its bytes (char) for an
// ANSI file, UTF-16 (char16_t) for a Unicode one. Names and values handed
// in and out are ANSI. The functions on a file's whole contents
// (formats/profile/profile.h) and the indexed file (formats/profile/file.h)
// are built on these. Each template is there for char and char16_t.
#ifndef KSUPDATE_FORMATS_PROFILE_DIALECT_H_
#define KSUPDATE_FORMATS_PROFILE_DIALECT_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "formats/win32_types.h"

namespace ks::profile {

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
  explicit LineReader(std::basic_string_view<Unit> text, size_t pos = 0)
      : text_(text), pos_(pos) {}

  // The next line; false at the end of the text.
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

  std::basic_string_view<Unit> Text(const Line& line) const {
    return text_.substr(line.begin, line.end - line.begin);
  }

 private:
  std::basic_string_view<Unit> text_;
  size_t pos_;
};

enum class LineKind { kBlank, kSection, kEntry };

// What a line says. The views point into the line's text.
template <typename Unit>
struct ParsedLine {
  LineKind kind = LineKind::kBlank;
  std::basic_string_view<Unit> name;  // section name or key, cut at a NUL
  std::basic_string_view<Unit> value;
  bool has_value = false;  // the entry has a '='
  // An entry whose key starts with ';': Wine finds it by that key like any
  // entry, but leaves it out of every list.
  bool comment = false;
  // Nothing before the '=' but blanks (a NUL, say, is something).
  bool no_key = false;
};

// One line's text, without its line end.
template <typename Unit>
ParsedLine<Unit> Parse(std::basic_string_view<Unit> line);

// A section or key name as the caller gives it, trimmed, in the unit of
// the text: what a header or entry line is matched against.
template <typename Unit>
std::basic_string<Unit> CallerName(LPCSTR name);

// GetPrivateProfileSectionA on `text` (profile.h: GetSection).
template <typename Unit>
DWORD ReadSection(std::basic_string_view<Unit> text, LPCSTR section,
                  LPSTR buffer, DWORD size);

// The key of each entry that ReadSection lists, in ANSI, in file order,
// until `visit` returns false: what a caller that splits ReadSection's
// answer at its '=' gets, without the answer's copy of the section.
template <typename Unit>
void ForEachListedKey(std::basic_string_view<Unit> text, LPCSTR section,
                      const std::function<bool(std::string_view)>& visit);

// GetPrivateProfileStringA on `text`, or on a missing file when `text` is
// null (profile.h: GetString). On Unicode text the answer is made in
// UTF-16 units, cut to `size` units, then put in the ANSI code page: an
// answer longer than size - 1 bytes there keeps whole characters only and
// counts size - 1, the bytes after them zero (Wine leaves the caller's).
template <typename Unit>
DWORD ReadString(const std::basic_string_view<Unit>* text, LPCSTR section,
                 LPCSTR key, LPCSTR default_value, LPSTR buffer, DWORD size);

// The answer of a string read of a key whose first entry in its section is
// `entry`, or that the section lacks (null), in a file that exists. A
// null buffer or size 0 gives 0.
template <typename Unit>
DWORD AnswerString(const ParsedLine<Unit>* entry, LPCSTR default_value,
                   LPSTR buffer, DWORD size);

// A write's change to the text: units [begin, end) become `text`; nothing
// when `changed` is false.
template <typename Unit>
struct Edit {
  bool changed = false;
  size_t begin = 0;
  size_t end = 0;
  std::basic_string<Unit> text;
};

// The change that WritePrivateProfileStringA(section, key, value) makes to
// `text` (profile.h: WriteString, but for the byte-order mark that
// an ANSI file must not get); false, with *edit unspecified, when the write
// is refused.
template <typename Unit>
bool WriteEdit(std::basic_string_view<Unit> text, LPCSTR section, LPCSTR key,
               LPCSTR value, Edit<Unit>* edit);

}  // namespace ks::profile

#endif  // KSUPDATE_FORMATS_PROFILE_DIALECT_H_
