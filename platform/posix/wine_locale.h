// The text encodings of a Wine prefix's programs: the ANSI code page of the
// locale, as Wine picks it, and the spelling of host file names.
#ifndef KSUPDATE_PLATFORM_POSIX_WINE_LOCALE_H_
#define KSUPDATE_PLATFORM_POSIX_WINE_LOCALE_H_

#include <string>
#include <string_view>

namespace ks::posix {

// How host file names spell characters beyond ASCII.
enum class HostNames {
  kUtf8,   // a UTF-8 locale
  kAscii,  // C, POSIX or another charset: only ASCII names map
};

struct TextLocale {
  int code_page = 1252;
  HostNames host_names = HostNames::kAscii;
  // The locale's charset (nl_langinfo(CODESET)) when the command line is
  // decoded from it before it is put in the ANSI code page: a charset
  // other than UTF-8 that Wine reads otherwise than that page (EUC-JP, the
  // ISO 8859 and KOI8 ones). Empty when the bytes are taken as they are:
  // UTF-8 (decoded apart), C and POSIX (ASCII), and a charset of the ANSI
  // page itself (GBK or GB18030 for 936, EUC-KR for 949, BIG5 for 950).
  std::string argument_charset;
};

// Whether Wine reads a command line in `charset` (as nl_langinfo(CODESET)
// names it) as the ANSI code page `code_page` reads it, byte for byte.
bool CharsetIsCodePage(std::string_view charset, int code_page);

// The ANSI code page that Wine gives a locale, from its name as in LC_ALL
// ("pl_PL.UTF-8", "sr_RS@latin"): 1250 to 1258 for the locales whose
// Windows locale uses one, 932 for ja_JP, 936 for zh_CN and zh_SG, 949 for
// ko_KR, 950 for zh_TW and zh_HK (the charset part does not count); 1252
// for every other name, "C" and "POSIX" included. Thai and the locales
// that Wine gives UTF-8 (bo_CN, ii_CN) get 1252 too: they are not mapped.
int CodePageOfLocale(std::string_view locale_name);

// The locale of this process as Wine would take it: the name of LC_ALL,
// LC_CTYPE or LANG, the first one set and not empty, when the system has
// that locale; "C" otherwise. Its charset decides the host names (UTF-8 or
// ASCII alone). Read once, on the first call.
const TextLocale& ProcessLocale();

// The host spelling of a file name: false when a character has none (a
// character beyond ASCII without a UTF-8 locale, or a lone surrogate).
bool HostName(HostNames host_names, std::u16string_view name,
              std::string* host);

// True when two host names (UTF-8) are the same but for letter case, as
// Wine matches file names: each character compared upper-cased, by the
// Windows table for ASCII, the letters of code pages 1250 to 1258 and the
// full-width Latin letters of the double-byte ones (it leaves U+00B5,
// U+0131 and U+03C2 as they are). A name that is no UTF-8 matches nothing.
bool HostNamesEqualIgnoringCase(std::string_view a, std::string_view b);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_WINE_LOCALE_H_
