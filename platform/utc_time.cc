#include "platform/utc_time.h"

#include <cstdio>

#include "platform/platform.h"

namespace ks {

namespace {

// FILETIME's epoch, 1601-01-01, in seconds before 1970-01-01.
constexpr std::int64_t kFileTimeEpochSeconds = 11644473600;
constexpr std::int64_t kFileTimeUnitsPerSecond = 10000000;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar,
// counting years from March so that a leap day ends its year.
std::int64_t DaysFromCivil(std::int64_t year, std::int64_t month,
                           std::int64_t day) {
  const std::int64_t y = month <= 2 ? year - 1 : year;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy =
      (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The inverse of DaysFromCivil.
void CivilFromDays(std::int64_t days, std::int64_t* year, std::int64_t* month,
                   std::int64_t* day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe =
      (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

UtcSeconds UtcFromFileTime(const FILETIME& time) {
  const std::uint64_t units =
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
      time.dwLowDateTime;
  // At most 2^64 / 10^7 seconds: well inside 64 signed bits.
  return static_cast<std::int64_t>(units / kFileTimeUnitsPerSecond) -
         kFileTimeEpochSeconds;
}

UtcSeconds UtcNow(Platform& platform) {
  FILETIME now{0, 0};
  platform.GetSystemTimeAsFileTime(&now);
  return UtcFromFileTime(now);
}

bool ParseUtc(const std::string& text, UtcSeconds* when) {
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' ||
      text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != 'Z') {
    return false;
  }
  std::int64_t fields[6];
  const size_t starts[6] = {0, 5, 8, 11, 14, 17};
  const size_t widths[6] = {4, 2, 2, 2, 2, 2};
  for (size_t i = 0; i < 6; ++i) {
    fields[i] = 0;
    for (size_t k = 0; k < widths[i]; ++k) {
      const char c = text[starts[i] + k];
      if (c < '0' || c > '9') return false;
      fields[i] = fields[i] * 10 + (c - '0');
    }
  }
  const std::int64_t year = fields[0], month = fields[1], day = fields[2];
  static const std::int64_t kDays[12] = {31, 29, 31, 30, 31, 30,
                                         31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1970 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] || (month == 2 && day == 29 && !leap) ||
      fields[3] > 23 || fields[4] > 59 || fields[5] > 59) {
    return false;
  }
  *when = DaysFromCivil(year, month, day) * 86400 + fields[3] * 3600 +
          fields[4] * 60 + fields[5];
  return true;
}

std::string UtcText(UtcSeconds time) {
  if (time < kFirstUtcSecond || time > kLastUtcSecond) return "?";
  // Floor division: a second before 1970 belongs to 1969-12-31.
  std::int64_t days = time / 86400;
  std::int64_t second = time % 86400;
  if (second < 0) {
    second += 86400;
    --days;
  }
  std::int64_t year = 0, month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  // Every field fits an int here: no wide format that a C runtime may lack.
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ",
                static_cast<int>(year), static_cast<int>(month),
                static_cast<int>(day), static_cast<int>(second / 3600),
                static_cast<int>(second / 60 % 60),
                static_cast<int>(second % 60));
  return text;
}

std::string UtcMillisecondText(const FILETIME& time) {
  std::string seconds = UtcText(UtcFromFileTime(time));
  if (seconds == "?") return seconds;
  const std::uint64_t units =
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
      time.dwLowDateTime;
  // 1601 and 1970 lie a whole number of seconds apart: the milliseconds
  // of the second are those counted from 1601.
  const auto millisecond = static_cast<unsigned>(
      units / static_cast<std::uint64_t>(kFileTimeUnitsPerSecond / 1000) %
      1000);
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03uZ", millisecond);
  return seconds.substr(0, seconds.size() - 1) + fraction;
}

}  // namespace ks
