// ANSI text, the 8-bit text of the Win32 "A" functions, to Unicode and
// back, in the ANSI code page of this process. Shared code that reads
// Unicode (UTF-16 and UTF-8 profile files) answers in ANSI through these.
#ifndef KSUPDATE_FORMATS_CODEPAGE_H_
#define KSUPDATE_FORMATS_CODEPAGE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace ks {

// `ansi` as UTF-16, as MultiByteToWideChar(CP_ACP) decodes it: each byte of
// a single-byte code page gives one unit (also the bytes the code page
// leaves undefined, as Windows maps them), so that UnicodeToAnsi gives the
// same bytes back.
std::u16string AnsiToUnicode(std::string_view ansi);

// `text` in the ANSI code page, as WideCharToMultiByte(CP_ACP,
// WC_NO_BEST_FIT_CHARS) encodes it: a character that the code page lacks
// becomes '?', never a look-alike (a "best fit" such as L for U+0141 could
// name another file), and so does each unit of a surrogate pair or a lone
// surrogate. A single-byte code page gives one byte a unit.
std::string UnicodeToAnsi(std::u16string_view text);

// IsDBCSLeadByte: whether `byte` begins a two-byte character in the ANSI
// code page of this process; never in a single-byte code page.
bool IsAnsiLeadByte(unsigned char byte);

// Whether the ANSI code page of this process is a double-byte one. The
// page is fixed for the life of the process, so it is looked up once: every
// profile file's encoding asks, at each write of a batch too.
inline bool AnsiIsDoubleByte() {
  static const bool double_byte = [] {
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
      if (IsAnsiLeadByte(static_cast<unsigned char>(byte))) return true;
    }
    return false;
  }();
  return double_byte;
}

// Where the character after the one at `i` begins, as CharNextA steps: past
// a lead byte's trail byte (any byte but NUL), else one byte on.
inline std::size_t NextAnsiChar(std::string_view ansi, std::size_t i) {
  return i + 1 < ansi.size() && ansi[i + 1] != '\0' &&
                 IsAnsiLeadByte(static_cast<unsigned char>(ansi[i]))
             ? i + 2
             : i + 1;
}

// The first character `c` (ASCII) of `ansi` at or after `start`, which
// begins a character, skipping trail bytes that equal it; npos if none.
inline std::size_t FindAnsiChar(std::string_view ansi, char c,
                                std::size_t start = 0) {
  for (std::size_t i = start; i < ansi.size(); i = NextAnsiChar(ansi, i)) {
    if (ansi[i] == c) return i;
  }
  return std::string_view::npos;
}

// The last character of `ansi` that is one of `chars` (ASCII); npos if
// none.
inline std::size_t FindLastAnsiChar(std::string_view ansi,
                                    std::string_view chars) {
  std::size_t found = std::string_view::npos;
  for (std::size_t i = 0; i < ansi.size(); i = NextAnsiChar(ansi, i)) {
    if (chars.find(ansi[i]) != std::string_view::npos) found = i;
  }
  return found;
}

// Whether the last character of `ansi` is `c` (ASCII), not a trail byte.
inline bool EndsWithAnsiChar(std::string_view ansi, char c) {
  return !ansi.empty() && ansi.back() == c &&
         FindLastAnsiChar(ansi, std::string_view(&c, 1)) == ansi.size() - 1;
}

// Whether `ansi` ends in a lead byte that has no trail byte.
inline bool EndsWithLoneLeadByte(std::string_view ansi) {
  std::size_t last = 0;
  for (std::size_t i = 0; i < ansi.size(); i = NextAnsiChar(ansi, i)) last = i;
  return !ansi.empty() && last == ansi.size() - 1 &&
         IsAnsiLeadByte(static_cast<unsigned char>(ansi.back()));
}

}  // namespace ks

#endif  // KSUPDATE_FORMATS_CODEPAGE_H_
