// Time as every build keeps it: seconds since 1970-01-01T00:00:00Z in 64
// bits. Never the C runtime's time_t, which the 32-bit Windows build keeps
// in 32 bits (it ends in January 2038), and never its gmtime or time(). The
// clock is read through the platform (Platform::GetSystemTimeAsFileTime).
#ifndef KSUPDATE_PLATFORM_UTC_TIME_H_
#define KSUPDATE_PLATFORM_UTC_TIME_H_

#include <cstdint>
#include <string>

#include "formats/win32_types.h"

namespace ks {

class Platform;

using UtcSeconds = std::int64_t;

// The dates this program reads and writes: 0001-01-01T00:00:00Z to
// 9999-12-31T23:59:59Z, the years of four digits.
constexpr UtcSeconds kFirstUtcSecond = -62135596800;
constexpr UtcSeconds kLastUtcSecond = 253402300799;

// `time` (100-nanosecond intervals since 1601, as Windows keeps them) in
// whole seconds since 1970, rounded down. Every FILETIME has one.
UtcSeconds UtcFromFileTime(const FILETIME& time);

// The system's clock, read through `platform`.
UtcSeconds UtcNow(Platform& platform);

// "YYYY-MM-DDTHH:MM:SSZ", a date of 1970 or later, as seconds: true with
// *when; false for any other text or an impossible date (*when untouched).
bool ParseUtc(const std::string& text, UtcSeconds* when);

// `time` in that form ("2026-12-09T15:30:00Z"); "?" outside the dates above.
std::string UtcText(UtcSeconds time);

// `time` to the millisecond, rounded down ("2026-12-09T15:30:00.250Z"); "?"
// outside the dates above.
std::string UtcMillisecondText(const FILETIME& time);

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_UTC_TIME_H_
