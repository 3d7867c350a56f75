// The ANSI code pages as Wine 8 converts them, generated from Wine's tables
// by scripts/codepage_tables (codepage_tables.cc).
#ifndef KSUPDATE_PLATFORM_POSIX_CODEPAGE_TABLES_H_
#define KSUPDATE_PLATFORM_POSIX_CODEPAGE_TABLES_H_

#include <cstddef>

namespace ks::posix {

// The single-byte pages 1250 to 1258: the character of each byte from 0x80
// to 0xFF (the bytes below are ASCII). A byte that a page leaves undefined
// has the character Windows decodes it as (U+0081, or a private-use one),
// so that every byte comes back unchanged.
constexpr int kFirstSingleBytePage = 1250;
constexpr int kSingleBytePageCount = 9;
extern const char16_t kSingleBytePages[kSingleBytePageCount][128];

// A character whose bytes are not the first that decode to it: `code` is
// its bytes (lead << 8 | trail, or one byte), 0xFFFF when it has none.
struct DbcsChoice {
  char16_t unit;
  unsigned short code;
};

struct DbcsRange {
  unsigned char first;
  unsigned char last;  // below `first` when the range is empty
};

struct DbcsPage {
  int code_page;
  DbcsRange leads[2];
  // A lead byte that ends the text or comes before a NUL.
  char16_t lone_lead;
  // The 256 single bytes, then the 256 trail bytes of each lead byte in
  // order.
  const char16_t* single;
  const char16_t* rows;
  const DbcsChoice* choices;
  std::size_t choice_count;
};

constexpr int kDbcsPageCount = 4;
extern const DbcsPage kDbcsPages[kDbcsPageCount];

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_CODEPAGE_TABLES_H_
