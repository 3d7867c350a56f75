// The ANSI text of a Wine prefix's programs, in the code page that the
// locale gives them: 1250 to 1258 as Windows defines them, and the
// double-byte pages 932, 936, 949 and 950, as Wine's tables have them
// (codepage_tables.cc).
#include "platform/posix/codepage.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "formats/codepage.h"
#include "platform/posix/codepage_tables.h"
#include "platform/posix/wine_locale.h"

namespace ks::posix {
namespace {

constexpr int kFirstCodePage = kFirstSingleBytePage;
constexpr int kLastCodePage = kFirstSingleBytePage + kSingleBytePageCount - 1;

// The high half of a code page by character, for encoding.
struct Encoded {
  char16_t unit;
  unsigned char byte;
};
using Encoder = std::array<Encoded, 128>;

const std::array<Encoder, kLastCodePage - kFirstCodePage + 1>& Encoders() {
  static const auto encoders = [] {
    std::array<Encoder, kLastCodePage - kFirstCodePage + 1> all{};
    for (size_t page = 0; page < all.size(); ++page) {
      for (size_t i = 0; i < 128; ++i) {
        all[page][i] = {kSingleBytePages[page][i],
                        static_cast<unsigned char>(0x80 + i)};
      }
      std::sort(
          all[page].begin(), all[page].end(),
          [](const Encoded& a, const Encoded& b) { return a.unit < b.unit; });
    }
    return all;
  }();
  return encoders;
}

int TableIndex(int code_page) {
  return code_page >= kFirstCodePage && code_page <= kLastCodePage
             ? code_page - kFirstCodePage
             : 1252 - kFirstCodePage;
}

const DbcsPage* FindDbcsPage(int code_page) {
  for (const DbcsPage& page : kDbcsPages) {
    if (page.code_page == code_page) return &page;
  }
  return nullptr;
}

bool InRange(const DbcsRange& range, unsigned char byte) {
  return byte >= range.first && byte <= range.last;
}

constexpr unsigned short kNoBytes = 0xFFFF;

// A double-byte page unpacked, on first use: the unit of each byte and
// byte pair, and the bytes of each unit.
struct DbcsTables {
  const DbcsPage* page = nullptr;
  std::vector<char16_t> single;          // 256
  std::vector<char16_t> rows;            // 256 for each lead byte
  std::array<int, 256> row_of{};         // -1 for a byte that leads none
  std::vector<unsigned short> bytes_of;  // 65536, kNoBytes for none
};

const DbcsTables& Unpacked(const DbcsPage& page) {
  static DbcsTables tables[kDbcsPageCount];
  DbcsTables& t = tables[&page - kDbcsPages];
  if (t.page != nullptr) return t;
  int row = 0;
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    t.row_of[b] = InRange(page.leads[0], byte) || InRange(page.leads[1], byte)
                      ? row++
                      : -1;
  }
  t.single.assign(page.single, page.single + 256);
  t.rows.assign(page.rows, page.rows + static_cast<size_t>(row) * 256);
  // The first bytes in byte order that decode to a unit, then Wine's own
  // choices where they differ (generated with the tables).
  t.bytes_of.assign(0x10000, kNoBytes);
  for (int b = 0; b < 256; ++b) {
    unsigned short& slot = t.bytes_of[t.single[b]];
    if (t.row_of[b] < 0 && slot == kNoBytes) {
      slot = static_cast<unsigned short>(b);
    }
  }
  for (int lead = 0; lead < 256; ++lead) {
    if (t.row_of[lead] < 0) continue;
    for (int trail = 0; trail < 256; ++trail) {
      const size_t at = static_cast<size_t>(t.row_of[lead]) * 256 + trail;
      unsigned short& slot = t.bytes_of[t.rows[at]];
      if (slot == kNoBytes)
        slot = static_cast<unsigned short>(lead << 8 | trail);
    }
  }
  for (size_t i = 0; i < page.choice_count; ++i) {
    t.bytes_of[page.choices[i].unit] = page.choices[i].code;
  }
  t.page = &page;
  return t;
}

std::u16string DbcsToUnicode(const DbcsTables& t, std::string_view ansi) {
  std::u16string text;
  text.reserve(ansi.size());
  for (size_t i = 0; i < ansi.size(); ++i) {
    const auto byte = static_cast<unsigned char>(ansi[i]);
    const int row = t.row_of[byte];
    // As Wine: a lead byte takes the next byte, whatever it is but a NUL.
    if (row >= 0 && (i + 1 == ansi.size() || ansi[i + 1] == '\0')) {
      text += t.page->lone_lead;
    } else if (row >= 0) {
      const auto trail = static_cast<unsigned char>(ansi[++i]);
      text += t.rows[static_cast<size_t>(row) * 256 + trail];
    } else {
      text += t.single[byte];
    }
  }
  return text;
}

std::string UnicodeToDbcs(const DbcsTables& t, std::u16string_view text) {
  std::string ansi;
  ansi.reserve(text.size());
  for (const char16_t unit : text) {
    // No byte decodes to a surrogate: each unit of a pair is a '?'.
    const unsigned short code = t.bytes_of[unit];
    if (code == kNoBytes) {
      ansi += '?';
    } else {
      if (code > 0xFF) ansi += static_cast<char>(code >> 8);
      ansi += static_cast<char>(code & 0xFF);
    }
  }
  return ansi;
}

}  // namespace

bool IsLeadByte(int code_page, unsigned char byte) {
  const DbcsPage* page = FindDbcsPage(code_page);
  return page != nullptr &&
         (InRange(page->leads[0], byte) || InRange(page->leads[1], byte));
}

std::u16string AnsiToUnicode(int code_page, std::string_view ansi) {
  if (const DbcsPage* page = FindDbcsPage(code_page)) {
    return DbcsToUnicode(Unpacked(*page), ansi);
  }
  const char16_t* high = kSingleBytePages[TableIndex(code_page)];
  std::u16string text(ansi.size(), u'\0');
  for (size_t i = 0; i < ansi.size(); ++i) {
    const auto byte = static_cast<unsigned char>(ansi[i]);
    text[i] = byte < 0x80 ? static_cast<char16_t>(byte) : high[byte - 0x80];
  }
  return text;
}

std::string UnicodeToAnsi(int code_page, std::u16string_view text) {
  if (const DbcsPage* page = FindDbcsPage(code_page)) {
    return UnicodeToDbcs(Unpacked(*page), text);
  }
  const Encoder& encoder = Encoders()[TableIndex(code_page)];
  std::string ansi(text.size(), '?');
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0x80) {
      ansi[i] = static_cast<char>(unit);
      continue;
    }
    const auto found = std::lower_bound(
        encoder.begin(), encoder.end(), unit,
        [](const Encoded& e, char16_t u) { return e.unit < u; });
    if (found != encoder.end() && found->unit == unit) {
      ansi[i] = static_cast<char>(found->byte);
    }
  }
  return ansi;
}

}  // namespace ks::posix

namespace ks {

bool IsAnsiLeadByte(unsigned char byte) {
  return posix::IsLeadByte(posix::ProcessLocale().code_page, byte);
}

std::u16string AnsiToUnicode(std::string_view ansi) {
  return posix::AnsiToUnicode(posix::ProcessLocale().code_page, ansi);
}

std::string UnicodeToAnsi(std::u16string_view text) {
  return posix::UnicodeToAnsi(posix::ProcessLocale().code_page, text);
}

}  // namespace ks
