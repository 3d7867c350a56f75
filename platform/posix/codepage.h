// The code pages of the Linux provider: the conversions of
// formats/codepage.h for a given code page, which ProcessLocale() picks.
#ifndef KSUPDATE_PLATFORM_POSIX_CODEPAGE_H_
#define KSUPDATE_PLATFORM_POSIX_CODEPAGE_H_

#include <string>
#include <string_view>

namespace ks::posix {

// AnsiToUnicode and UnicodeToAnsi of formats/codepage.h in `code_page`
// (1250 to 1258, 932, 936, 949 or 950; any other is taken as 1252). In a
// double-byte page a lead byte takes the next byte, whatever it is but a
// NUL, as Wine decodes; one that ends the text or meets a NUL decodes as
// the page's default character.
std::u16string AnsiToUnicode(int code_page, std::string_view ansi);
std::string UnicodeToAnsi(int code_page, std::u16string_view text);

// IsDBCSLeadByteEx: whether `byte` begins a two-byte character in
// `code_page` (never in a single-byte page).
bool IsLeadByte(int code_page, unsigned char byte);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_CODEPAGE_H_
