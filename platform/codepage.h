// ANSI text, the 8-bit text of the Win32 "A" functions, to Unicode and
// back, in the ANSI code page of this process. Shared code that reads
// Unicode (UTF-16 and UTF-8 profile files) answers in ANSI through these.
#ifndef KSUPDATE_PLATFORM_CODEPAGE_H_
#define KSUPDATE_PLATFORM_CODEPAGE_H_

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

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_CODEPAGE_H_
