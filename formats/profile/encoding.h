// How the bytes of a profile file are text. A file that starts with a UTF-8
// byte-order mark, or a UTF-16 one (little or big endian), is Unicode: its
// text is UTF-16 units and answers in the ANSI code page
// (formats/codepage.h). Any other file is ANSI: its text is its bytes in a
// single-byte code page, and its characters decoded in a double-byte one.
// The profile rules (formats/profile/dialect.h) work on the text in its
// units: char for ANSI, char16_t for Unicode.
#ifndef KSUPDATE_FORMATS_PROFILE_ENCODING_H_
#define KSUPDATE_FORMATS_PROFILE_ENCODING_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "formats/codepage.h"

namespace ks::profile {

// kAnsiDoubleByte: a file without a byte-order mark while the ANSI code
// page is double-byte. Its text is decoded as a Unicode file's, since Wine
// reads it so: a trail byte is never '\\', ']', '=' or a letter.
enum class Encoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be, kAnsiDoubleByte };

// The encoding of a file's bytes; *bom gets the size of its byte-order
// mark (0 for ANSI).
Encoding Detect(std::string_view raw, size_t* bom);

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

// The text of the Unicode file `raw` (`encoding` not kAnsi, `bom` as Detect
// gives it), as Wine reads it, bad bytes included: UTF-16 with a lone last
// byte as a unit of its own (its low byte); UTF-8 as
// MultiByteToWideChar(CP_UTF8) decodes it (BadUtf8::kLikeWindows in
// formats/text.h).
Decoded Decode(std::string_view raw, Encoding encoding, size_t bom);

// The bytes of the Unicode file `raw`, which decodes as `decoded`, with the
// units [begin, end) of its text replaced by `units`: only the bytes of
// those units change, the new ones in the file's own encoding (a lone
// surrogate becomes U+FFFD in UTF-8). A change at the end of a file with a
// cut end takes that end along, written whole, so that it reads as before.
std::string ReplaceUnits(std::string_view raw, const Decoded& decoded,
                         size_t begin, size_t end, std::u16string_view units);

// Text that the caller hands in, in the unit of a file's text, and text of
// the file handed back: an ANSI file's text is the bytes as given, a
// Unicode file's goes through the ANSI code page.
template <typename Unit>
std::basic_string<Unit> FromAnsi(std::string_view ansi);
template <>
inline std::string FromAnsi<char>(std::string_view ansi) {
  return std::string(ansi);
}
// As Wine converts a caller's text: a lead byte that ends it, with no trail
// byte, is dropped.
template <>
inline std::u16string FromAnsi<char16_t>(std::string_view ansi) {
  if (EndsWithLoneLeadByte(ansi)) ansi.remove_suffix(1);
  return AnsiToUnicode(ansi);
}

inline std::string ToAnsi(std::string_view text) { return std::string(text); }
inline std::string ToAnsi(std::u16string_view text) {
  return UnicodeToAnsi(text);
}

}  // namespace ks::profile

#endif  // KSUPDATE_FORMATS_PROFILE_ENCODING_H_
