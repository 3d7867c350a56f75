// The double-byte ANSI code pages as Wine 8 converts them, generated from
// Wine's tables by scripts/codepage_tables (dbcs_tables.cc).
#ifndef KSUPDATE_PLATFORM_POSIX_DBCS_TABLES_H_
#define KSUPDATE_PLATFORM_POSIX_DBCS_TABLES_H_

#include <cstddef>

namespace ks::posix {

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

#endif  // KSUPDATE_PLATFORM_POSIX_DBCS_TABLES_H_
