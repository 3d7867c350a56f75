// HKEY_LOCAL_MACHINE as Wine stores it in a prefix's system.reg.
#ifndef KSUPDATE_PLATFORM_POSIX_REGISTRY_H_
#define KSUPDATE_PLATFORM_POSIX_REGISTRY_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "formats/win32_types.h"
#include "platform/posix/files.h"

namespace ks::posix {

// One registry value as stored: its type and its data bytes in the form
// that the ANSI query functions return, in the ANSI code page of the
// locale (formats/codepage.h): a character that the code page lacks, and
// each half of a surrogate pair, becomes '?'. Text types
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

// The values of one key, by name.
using RegistryValues = std::map<std::string, RegistryValue, NameLess>;

// The key path, relative to HKLM, under which a 32-bit program finds
// `key_path` in a prefix that is win64 or not: on a win64 prefix,
// "Software\X" is stored as "Software\Wow6432Node\X" (and "Software" itself
// as "Software\Wow6432Node"); on a win32 prefix, the path is unchanged.
// Either way the path is normalised first: runs of '\' become one, leading
// and trailing ones are dropped.
std::string View32KeyPath(bool win64, const std::string& key_path);

// The text of a system.reg in Wine's registry file format ("WINE REGISTRY
// Version 2"), read for the keys asked for: one pass finds the key lines
// and the architecture, and a key's values are parsed when it is first
// asked for (then kept). A program that reads one key of a large file so
// parses that key alone.
//
// Key paths are relative to HKLM, components joined by one '\', as stored in
// the file (so a 32-bit view key of a win64 prefix includes "Wow6432Node");
// key and value names are stored converted to ANSI like the data, so that
// the names the ANSI functions pass match them. Lines that cannot be parsed
// are skipped (a bad key line also drops the values under it), as is a last
// line without its newline, which was cut short; a text without the header
// has no keys. A repeated key adds to its values, and a repeated value
// replaces the earlier one. Never throws on bad input (only
// std::bad_alloc).
class RegistryFile {
 public:
  explicit RegistryFile(std::string text);

  // True when the file says "#arch=win64" (of its "#arch=win64" and
  // "#arch=win32" lines, the last one counts).
  bool win64() const { return win64_; }

  // The values of the key at `key_path` (a normalised path, as
  // View32KeyPath gives), or null when the file has no key by that name:
  // when no key line names it or a key below it (a key exists as the
  // ancestor of its subkeys; the empty path names none).
  const RegistryValues* FindKey(const std::string& key_path) const;

 private:
  std::string text_;
  bool win64_ = false;
  // Where each line that starts a key begins in text_.
  std::vector<size_t> key_lines_;
  // The keys asked for so far; null for one that is not there.
  mutable std::map<std::string, std::unique_ptr<RegistryValues>, NameLess>
      found_;
};

// No system.reg comes near this: a prefix with many programs installed has
// a few MiB. A larger one is not read at all, so that no prefix can make a
// run spend time and memory before it is refused.
constexpr std::uint64_t kMaxRegistryFileBytes = 64u << 20;

// What RegistryCache::Load found of system.reg.
enum class RegistryRead {
  kRead,
  kMissing,           // not there: no keys
  kUnreadable,        // a link, no plain file, or unreadable: no keys
  kNotOwned,          // refused unread: another user's (CheckOwnership)
  kWritableByOthers,  // refused unread: another user may write it
  kTooLarge,          // refused unread: larger than the bound
};

// system.reg of a prefix, read once and read again only when a look at the
// file (FileStamp: device, inode, size, modification time to the
// nanosecond) shows that it changed, or when another prefix is asked for.
class RegistryCache {
 public:
  // The file "system.reg" of the open prefix directory `prefix`, which
  // `prefix_path` names (it tells one prefix from another); never null. It
  // is looked at before a byte of it is read: a file that is missing, a
  // symbolic link, no plain file, unreadable, refused by the owner rule or
  // larger than `max_bytes` has no keys, and *read (when not null) says
  // which. A file lives on while any caller holds it, even after a later
  // call has replaced it.
  std::shared_ptr<const RegistryFile> Load(int prefix,
                                           const std::string& prefix_path,
                                           std::uint64_t max_bytes,
                                           RegistryRead* read = nullptr);

 private:
  // The file that holds no keys, shared.
  std::shared_ptr<const RegistryFile> Empty();

  std::string prefix_path_;
  // False while file_ stands for a file that was not read.
  bool have_stamp_ = false;
  FileStamp stamp_;
  std::shared_ptr<const RegistryFile> file_;
};

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_REGISTRY_H_
