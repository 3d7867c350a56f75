// The code pages of the Linux provider: the conversions of
// platform/codepage.h for a given code page, which ProcessLocale() picks.
#ifndef KSUPDATE_PLATFORM_POSIX_CODEPAGE_H_
#define KSUPDATE_PLATFORM_POSIX_CODEPAGE_H_

#include <string>
#include <string_view>

namespace ks::posix {

// AnsiToUnicode and UnicodeToAnsi of platform/codepage.h in `code_page`
// (1250 to 1258; any other is taken as 1252).
std::u16string AnsiToUnicode(int code_page, std::string_view ansi);
std::string UnicodeToAnsi(int code_page, std::u16string_view text);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_CODEPAGE_H_
