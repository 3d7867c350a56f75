// HKEY_LOCAL_MACHINE as Wine stores it in a prefix's system.reg.
#ifndef KSUPDATE_PLATFORM_POSIX_REGISTRY_H_
#define KSUPDATE_PLATFORM_POSIX_REGISTRY_H_

#include <map>
#include <memory>
#include <string>

#include "platform/win32_types.h"

namespace ks::posix {

// One registry value as stored: its type and its data bytes in the form
// that the ANSI query functions return. The ANSI code page is Latin-1: a
// code point below 0x100 becomes that byte, any other one '?'. Text types
// (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) are converted so, whether the file
// writes them as strings or as UTF-16LE hex; a quoted string keeps its
// terminating zero, and a REG_MULTI_SZ string also the zero that closes
// the list. Other types hold their raw bytes (a dword in little-endian).
struct RegistryValue {
  DWORD type = REG_NONE;
  std::string data;
};

// Case-insensitive (ASCII) ordering of key and value names.
struct NameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// A parsed system.reg. Key and value names are stored converted to ANSI
// like the data, so that the names the ANSI functions pass match them.
struct RegistryHive {
  bool win64 = false;  // "#arch=win64"
  // Key path relative to HKLM, components joined by one '\', as stored in
  // the file (so a 32-bit view key of a win64 prefix includes
  // "Wow6432Node"), mapped to its values.
  std::map<std::string, std::map<std::string, RegistryValue, NameLess>,
           NameLess>
      keys;
};

// Parses Wine's registry file format ("WINE REGISTRY Version 2"). Lines that
// cannot be parsed are skipped (a bad key line also drops the values under
// it), as is a last line without its newline, which was cut short; a text
// without the header gives an empty hive. A key whose missing ancestors
// would take the paths stored past a budget of several times the text's
// size is skipped, which only a crafted file of very deep keys reaches.
// Never throws on bad input (only std::bad_alloc).
RegistryHive ParseRegistry(const std::string& text);

// The key path, relative to HKLM, under which a 32-bit program finds
// `key_path` in `hive`: on a win64 prefix, "Software\X" is stored as
// "Software\Wow6432Node\X" (and "Software" itself as
// "Software\Wow6432Node"); on a win32 prefix, the path is unchanged. Either
// way the path is normalised first: runs of '\' become one, leading and
// trailing ones are dropped.
std::string View32KeyPath(const RegistryHive& hive,
                          const std::string& key_path);

// system.reg of the current prefix, parsed once and parsed again only when a
// check of the file (device, inode, size, modification time to the
// nanosecond) shows that it changed, or when another path is asked for. A
// missing or unreadable file (or one that is no regular file) is an empty
// hive; an unreadable one is tried again at each call.
class RegistryCache {
 public:
  // The hive as the file now holds it; never null. A hive lives on while
  // any caller holds it, even after a later call has replaced it.
  std::shared_ptr<const RegistryHive> Load(const std::string& path);

 private:
  std::string path_;
  // False while hive_ stands for a missing or unreadable file.
  bool have_stamp_ = false;
  unsigned long long dev_ = 0, ino_ = 0, size_ = 0;
  long long mtime_sec_ = 0, mtime_nsec_ = 0;
  std::shared_ptr<const RegistryHive> hive_;
};

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_REGISTRY_H_
