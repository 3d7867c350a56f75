#include "platform/utc_time.h"

#include <gtest/gtest.h>

#include <string>

namespace ks {
namespace {

// Dates on both sides of where 32 bits of seconds end: 2038 for a signed
// count, 2106 for an unsigned one. The seconds and FILETIMEs were worked
// out apart from this code.
struct Date {
  const char* text;
  UtcSeconds seconds;
  FILETIME file_time;
};
const Date kDates[] = {
    {"2037-12-31T23:59:59Z", 2145916799, {0xba76a980u, 0x01e9eedeu}},
    {"2038-01-19T03:14:07Z", 2147483647, {0xd4a5e980u, 0x01e9fd1eu}},
    {"2038-01-19T03:14:08Z", 2147483648, {0xd53e8000u, 0x01e9fd1eu}},
    {"2095-01-01T00:00:00Z", 3944678400, {0xf1188000u, 0x0229d682u}},
    {"2106-02-07T06:28:16Z", 4294967296, {0xd53e8000u, 0x0236485eu}},
    {"2106-02-08T00:00:00Z", 4295030400, {0xc228c000u, 0x023648f1u}},
    {"2200-01-01T00:00:00Z", 7258118400, {0x9ef10000u, 0x029f8e12u}},
    {"9999-12-31T23:59:59Z", 253402300799, {0xd127a980u, 0x24c85a5eu}},
};

TEST(UtcTime, DatesPastThirtyTwoBits) {
  static_assert(sizeof(UtcSeconds) == 8, "time has 64 bits on every build");
  for (const Date& date : kDates) {
    SCOPED_TRACE(date.text);
    UtcSeconds parsed = 0;
    EXPECT_TRUE(ParseUtc(date.text, &parsed));
    EXPECT_EQ(parsed, date.seconds);
    EXPECT_EQ(UtcText(date.seconds), date.text);
    EXPECT_EQ(UtcFromFileTime(date.file_time), date.seconds);
  }
}

TEST(UtcTime, EdgesOfWhatIsReadAndWritten) {
  UtcSeconds parsed = 7;
  // Leap days by the Gregorian rule, and what is no date.
  EXPECT_TRUE(ParseUtc("2000-02-29T00:00:00Z", &parsed));
  EXPECT_EQ(parsed, 951782400);
  EXPECT_TRUE(ParseUtc("1970-01-01T00:00:00Z", &parsed));
  EXPECT_EQ(parsed, 0);
  for (const char* bad :
       {"2100-02-29T00:00:00Z", "1969-12-31T23:59:59Z", "2038-01-19T24:00:00Z",
        "2038-13-01T00:00:00Z", "2038-01-19 03:14:08Z", "+038-01-19T03:14:08Z",
        "2038-01-19T03:14:08", "20038-01-19T03:14:08Z"}) {
    parsed = 7;
    EXPECT_FALSE(ParseUtc(bad, &parsed)) << bad;
    EXPECT_EQ(parsed, 7) << bad;
  }
  // Before 1970 (a clock set wrong) and the ends of four-digit years.
  EXPECT_EQ(UtcText(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(UtcText(kFirstUtcSecond), "0001-01-01T00:00:00Z");
  EXPECT_EQ(UtcText(kFirstUtcSecond - 1), "?");
  EXPECT_EQ(UtcText(kLastUtcSecond + 1), "?");
  // FILETIME's own ends: 1601, and the largest it holds (year 60056).
  EXPECT_EQ(UtcText(UtcFromFileTime({0, 0})), "1601-01-01T00:00:00Z");
  EXPECT_EQ(UtcFromFileTime({0xffffffffu, 0xffffffffu}), 1833029933770);
  // To the millisecond, rounded down, on either side of 1970 and past 2038.
  const auto file_time = [](std::uint64_t units) {
    return FILETIME{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
  };
  constexpr std::uint64_t kEpoch = 116444736000000000u;
  EXPECT_EQ(UtcMillisecondText(file_time(kEpoch - 1)),
            "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(UtcMillisecondText(file_time(kEpoch + 9999)),
            "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(UtcMillisecondText(file_time(kEpoch + 21474836482509999u)),
            "2038-01-19T03:14:08.250Z");
  EXPECT_EQ(UtcMillisecondText({0xffffffffu, 0xffffffffu}), "?");
}

}  // namespace
}  // namespace ks
