// The locales that Wine gives each ANSI code page (found by running Wine 8
// in every locale that glibc ships with one of these languages; for the
// double-byte pages, zh_SG gets 936 and zh_HK 950 as in Windows, yue_HK
// 1252), and the
// spelling of host file names.
#include "platform/posix/wine_locale.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/text.h"

namespace ks::posix {
namespace {

// The locales (language_TERRITORY, with a modifier where it counts) whose
// ANSI code page under Wine is not 1252. Wine gives 1252 also to some
// locales whose Windows namesake uses another page (el_CY, ru_UA, sr_RS):
// this is what it does, not what Windows would.
struct LocaleCodePage {
  const char* name;
  int code_page;
};
constexpr LocaleCodePage kLocales[] = {
    {"ar_AE", 1256},          {"ar_BH", 1256},         {"ar_DZ", 1256},
    {"ar_EG", 1256},          {"ar_IQ", 1256},         {"ar_JO", 1256},
    {"ar_KW", 1256},          {"ar_LB", 1256},         {"ar_LY", 1256},
    {"ar_MA", 1256},          {"ar_OM", 1256},         {"ar_QA", 1256},
    {"ar_SA", 1256},          {"ar_SY", 1256},         {"ar_TN", 1256},
    {"ar_YE", 1256},          {"be_BY", 1251},         {"bg_BG", 1251},
    {"ckb_IQ", 1256},         {"ja_JP", 932},          {"ko_KR", 949},
    {"zh_CN", 936},           {"zh_SG", 936},          {"zh_TW", 950},
    {"zh_HK", 950},           {"cs_CZ", 1250},         {"el_GR", 1253},
    {"et_EE", 1257},          {"fa_IR", 1256},         {"he_IL", 1255},
    {"hr_HR", 1250},          {"hu_HU", 1250},         {"ky_KG", 1251},
    {"lt_LT", 1257},          {"lv_LV", 1257},         {"mk_MK", 1251},
    {"mn_MN", 1251},          {"pl_PL", 1250},         {"ro_RO", 1250},
    {"ru_RU", 1251},          {"sah_RU", 1251},        {"sk_SK", 1250},
    {"sl_SI", 1250},          {"sq_AL", 1250},         {"sr_RS@latin", 1250},
    {"tg_TJ", 1251},          {"tk_TM", 1250},         {"tr_TR", 1254},
    {"tt_RU", 1251},          {"tt_RU@iqtelif", 1251}, {"ug_CN", 1256},
    {"uk_UA", 1251},          {"ur_IN", 1256},         {"ur_PK", 1256},
    {"uz_UZ@cyrillic", 1251}, {"vi_VN", 1258},
};

TextLocale LoadProcessLocale() {
  TextLocale locale;
  // Wine takes LC_CTYPE as the C library sets it from the environment: a
  // locale that the system lacks leaves "C". Set for a moment and put back
  // (newlocale would do without, but leaks under a LOCPATH); the program
  // has one thread.
  const char* current = setlocale(LC_CTYPE, nullptr);
  const std::string saved = current != nullptr ? current : "C";
  const char* name = setlocale(LC_CTYPE, "");
  if (name != nullptr) {
    locale.code_page = CodePageOfLocale(name);
    const char* charset = nl_langinfo(CODESET);
    if (charset != nullptr && std::strcmp(charset, "UTF-8") == 0) {
      locale.host_names = HostNames::kUtf8;
    } else if (charset != nullptr &&
               !CharsetIsCodePage(charset, locale.code_page)) {
      locale.argument_charset = charset;
    }
  }
  setlocale(LC_CTYPE, saved.c_str());
  return locale;
}

// Windows' upper case of the letters beyond ASCII that code pages 1250 to
// 1258 hold, of the full-width Latin letters of the double-byte pages (the
// Greek and Cyrillic ones they hold are among the former), and of every
// character that upper-cases to one of those:
// `count` characters from `first` on, `step` apart, each `delta` below or
// above its upper case.
struct CaseRun {
  char16_t first;
  int count;
  int delta;
  int step;
};
constexpr CaseRun kUpperRuns[] = {
    {0x00E0, 23, -32, 1}, {0x00F8, 7, -32, 1},  {0x00FF, 1, 121, 1},
    {0x0101, 4, -1, 2},   {0x010D, 4, -1, 2},   {0x0117, 3, -1, 2},
    {0x011F, 1, -1, 1},   {0x0123, 1, -1, 1},   {0x012B, 1, -1, 1},
    {0x012F, 1, -1, 1},   {0x0137, 1, -1, 1},   {0x013A, 3, -1, 2},
    {0x0142, 4, -1, 2},   {0x014D, 1, -1, 1},   {0x0151, 6, -1, 2},
    {0x015F, 4, -1, 2},   {0x016B, 1, -1, 1},   {0x016F, 3, -1, 2},
    {0x017A, 3, -1, 2},   {0x0192, 1, -1, 1},   {0x01A1, 1, -1, 1},
    {0x01B0, 1, -1, 1},   {0x03AC, 1, -38, 1},  {0x03AD, 3, -37, 1},
    {0x03B1, 17, -32, 1}, {0x03C3, 9, -32, 1},  {0x03CC, 1, -64, 1},
    {0x03CD, 2, -63, 1},  {0x0430, 32, -32, 1}, {0x0451, 12, -80, 1},
    {0x045E, 2, -80, 1},  {0x0491, 1, -1, 1},   {0xFF41, 26, -32, 1},
};

char32_t UpperCase(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 'a' + 'A';
  if (c < 0x80) return c;
  for (const CaseRun& run : kUpperRuns) {
    if (c < run.first) break;
    const char32_t offset = c - run.first;
    if (offset % static_cast<char32_t>(run.step) == 0 &&
        offset / static_cast<char32_t>(run.step) <
            static_cast<char32_t>(run.count)) {
      return static_cast<char32_t>(static_cast<int>(c) + run.delta);
    }
  }
  return c;
}

// Charsets that Wine reads with the table of a Windows code page which an
// ANSI code page shares (its table of Unix charsets, Wine 8); ASCII
// ("ANSI_X3.4-1968", the C locale) stands for every page: its bytes pass
// as they are.
struct CharsetPage {
  const char* name;  // upper case, without punctuation
  int code_page;
};
constexpr CharsetPage kCharsetPages[] = {
    {"ANSIX341968", 0}, {"BIG5", 950},    {"BIG5HKSCS", 950}, {"CP1250", 1250},
    {"CP1251", 1251},   {"CP1252", 1252}, {"CP1253", 1253},   {"CP1254", 1254},
    {"CP1255", 1255},   {"CP1256", 1256}, {"CP1257", 1257},   {"CP1258", 1258},
    {"CP932", 932},     {"CP936", 936},   {"CP949", 949},     {"CP950", 950},
    {"EUCKR", 949},     {"GB18030", 936}, {"GB2312", 936},    {"GBK", 936},
};

}  // namespace

bool CharsetIsCodePage(std::string_view charset, int code_page) {
  std::string name;
  for (char c : charset) {
    if (c >= 'a' && c <= 'z') name += static_cast<char>(c - 'a' + 'A');
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) name += c;
  }
  for (const CharsetPage& entry : kCharsetPages) {
    if (name == entry.name) {
      return entry.code_page == 0 || entry.code_page == code_page;
    }
  }
  return false;
}

int CodePageOfLocale(std::string_view locale_name) {
  // "ll_CC.charset@modifier": the charset does not count.
  std::string name(locale_name.substr(0, locale_name.find_first_of(".@")));
  const size_t at = locale_name.find('@');
  if (at != std::string_view::npos) name.append(locale_name.substr(at));
  for (const LocaleCodePage& entry : kLocales) {
    if (name == entry.name) return entry.code_page;
  }
  return 1252;
}

const TextLocale& ProcessLocale() {
  static const TextLocale locale = LoadProcessLocale();
  return locale;
}

bool HostName(HostNames host_names, std::u16string_view name,
              std::string* host) {
  host->clear();
  host->reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const char32_t code = NextUtf16(name, &i);
    if (code >= 0x80 && host_names == HostNames::kAscii) return false;
    // A surrogate that is not half of a pair has no UTF-8.
    if (IsSurrogate(code)) return false;
    AppendUtf8(code, host);
  }
  return true;
}

bool HostNamesEqualIgnoringCase(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t k = 0;
  while (i < a.size() && k < b.size()) {
    char32_t x = 0;
    char32_t y = 0;
    // Bytes that are no well-formed UTF-8 match nothing.
    if (NextUtf8(a, &i, BadUtf8::kEachByte, &x) != Utf8Read::kChar ||
        NextUtf8(b, &k, BadUtf8::kEachByte, &y) != Utf8Read::kChar ||
        UpperCase(x) != UpperCase(y)) {
      return false;
    }
  }
  return i == a.size() && k == b.size();
}

}  // namespace ks::posix
