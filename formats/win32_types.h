// The Win32 types and constants that the update engine uses, declared without
// <windows.h> so that the engine compiles the same on every platform. Sizes
// and values are those of the Win32 ABI; the Windows provider converts them
// to the real ones at the boundary.
#ifndef KSUPDATE_FORMATS_WIN32_TYPES_H_
#define KSUPDATE_FORMATS_WIN32_TYPES_H_

#include <cstdint>

namespace ks {

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using BYTE = unsigned char;
using REGSAM = DWORD;
using LPSTR = char*;
using LPCSTR = const char*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;

// A time as Windows keeps it: 100-nanosecond intervals since
// 1601-01-01T00:00:00Z, in two halves.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

// A registry key handle: opaque, compared and passed on, never dereferenced.
struct RegistryKeyHandle;
using HKEY = RegistryKeyHandle*;
using PHKEY = HKEY*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Predefined keys carry the sign-extended values that Win32 gives them.
inline HKEY PredefinedKey(std::int32_t value) {
  return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(value));
}
inline HKEY LocalMachineKey() {
  return PredefinedKey(static_cast<std::int32_t>(0x80000002u));
}
// <windows.h> defines the name as a macro; the Windows provider, which sees
// both, uses LocalMachineKey().
#ifndef HKEY_LOCAL_MACHINE
inline const HKEY HKEY_LOCAL_MACHINE = LocalMachineKey();
#endif

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;

constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

}  // namespace ks

#endif  // KSUPDATE_FORMATS_WIN32_TYPES_H_
