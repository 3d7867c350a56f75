// Text helpers that every part of the program shares: the letter case of
// ASCII, and UTF-8 read and written by code point. Pure code: no locale,
// no system call.
#ifndef KSUPDATE_FORMATS_TEXT_H_
#define KSUPDATE_FORMATS_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace ks {

// The lower or upper case of an ASCII letter; any other unit (a byte above
// 0x7F, a UTF-16 unit) is left as it is.
template <typename Unit>
constexpr Unit LowerAscii(Unit c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<Unit>(c - 'A' + 'a') : c;
}
template <typename Unit>
constexpr Unit UpperAscii(Unit c) {
  return (c >= 'a' && c <= 'z') ? static_cast<Unit>(c - 'a' + 'A') : c;
}

// True when `a` and `b` are the same but for the case of ASCII letters.
template <typename Unit>
bool EqualsIgnoringAsciiCase(std::basic_string_view<Unit> a,
                             std::basic_string_view<Unit> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return EqualsIgnoringAsciiCase<char>(a, b);
}

// True when the file names `a` and `b` (no separators) name the same file
// in one directory on Windows, as far as ASCII tells: the same but for the
// case of ASCII letters and for the trailing dots and blanks, which
// Windows drops. Short 8.3 aliases and the case of other letters are not
// known here.
bool SameFileName(std::string_view a, std::string_view b);

// Byte order of `a` and `b` with ASCII letters lower-cased (bytes compared
// unsigned): true when `a` comes first.
bool LessIgnoringAsciiCase(std::string_view a, std::string_view b);

// What a UTF-8 reader makes of bytes that are no well-formed UTF-8 (a byte
// that starts no sequence, a sequence broken by a byte that does not
// continue it, an overlong form, a surrogate, a code point above
// U+10FFFF, or a sequence that the text ends inside). Either way such bytes
// read as one U+FFFD; the policies differ in how many bytes it stands for.
enum class BadUtf8 {
  // One byte: the next one is read anew, so that bad bytes never take good
  // ones with them.
  kEachByte,
  // As Windows' (and Wine's) MultiByteToWideChar(CP_UTF8): a bad lead byte
  // is one U+FFFD; a broken sequence is one U+FFFD up to the byte that
  // broke it, which is read anew, except a continuation byte out of range
  // just after the lead, which the U+FFFD takes along; a sequence that the
  // text ends inside takes the rest of the text.
  kLikeWindows,
};

enum class Utf8Read {
  kChar,      // a well-formed character
  kBad,       // bad bytes, read as U+FFFD
  kCutShort,  // a sequence that the text ends inside, read as U+FFFD
};

// Reads one character of UTF-8 at s[*i] (which must be inside `s`): sets
// *code and moves *i past the bytes it stands for, as `policy` says for
// bytes that are no well-formed UTF-8.
Utf8Read NextUtf8(std::string_view s, size_t* i, BadUtf8 policy,
                  char32_t* code);

// Appends `code` (at most U+10FFFF, not a surrogate) as UTF-8 or UTF-16.
void AppendUtf8(char32_t code, std::string* out);
void AppendUtf16(char32_t code, std::u16string* out);

// The code point of the UTF-16 unit text[*i], with the unit after it when
// the two are a surrogate pair; *i moves past what was read. A lone
// surrogate reads as itself.
char32_t NextUtf16(std::u16string_view text, size_t* i);

inline bool IsSurrogate(char32_t code) {
  return code >= 0xD800 && code <= 0xDFFF;
}

}  // namespace ks

#endif  // KSUPDATE_FORMATS_TEXT_H_
