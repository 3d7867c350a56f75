// The three profile calls of the platform (GetPrivateProfileSectionA,
// GetPrivateProfileStringA, WritePrivateProfileStringA) for every provider,
// over the provider's own file I/O (FileIo).
//
// The engine asks again for everything at each use, so the files read are
// kept parsed (File), each checked at every call against a stamp of
// the file taken without opening it: any change, by this process or
// another, is seen at the next call. At most a few files are kept.
#ifndef KSUPDATE_FORMATS_PROFILE_STORE_H_
#define KSUPDATE_FORMATS_PROFILE_STORE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "formats/profile/calls.h"
#include "formats/profile/file.h"
#include "formats/win32_types.h"

namespace ks::profile {

// What tells one version of a file from another without reading it (sizes,
// times, a file id: the provider chooses). Stamps are only compared.
struct Stamp {
  std::array<std::uint64_t, 5> words{};

  bool operator==(const Stamp& other) const { return words == other.words; }
};

// The file that one profile call names, as its provider reaches it.
class FileIo {
 public:
  // What is at the file's path.
  struct Look {
    // Something is there (a file, or anything else that a read refuses).
    bool exists = false;
    // `stamp` holds: a file whose stamp cannot be taken is read again at
    // every call.
    bool stamped = false;
    Stamp stamp;
    bool read_only = false;
    // The file's size in bytes, when stamped.
    std::uint64_t size = 0;
  };
  enum class Read { kRead, kMissing, kFailed, kTooLarge };

  virtual ~FileIo() = default;

  // The file's full path, which tells it apart from every other file; null
  // when the caller's name reaches no file (null, or a path that the
  // provider cannot map).
  virtual const std::string* path() const = 0;
  // Looks at the file without opening it.
  virtual Look LookAt() = 0;
  // Reads the whole file, unless it holds more than `max_bytes` (kTooLarge,
  // having read no more than that and one byte). `stamp` comes in as
  // LookAt() gave it; the provider may set it to the stamp of the very file
  // read. kMissing when nothing is there, kFailed when something is but
  // cannot be read as a file.
  virtual Read ReadWhole(std::string* contents, Stamp* stamp,
                         std::uint64_t max_bytes) = 0;
  // Replaces the file by one holding `contents`, or creates it, atomically.
  // True with *after a look at the new file; false with the file as it was.
  virtual bool Replace(const std::string& contents, Look* after) = 0;
};

// The whole file of `io`, read at once and kept nowhere: Platform's
// ReadFileBytes over a provider's file I/O.
ProfileLoad ReadWholeFile(FileIo& io, std::uint64_t max_bytes,
                          std::string* contents);

class Store {
 public:
  // GetPrivateProfileSectionA, GetPrivateProfileStringA on `file`, as
  // GetSection and GetString (formats/profile/profile.h) answer on
  // its contents. A file that is missing or cannot be read answers as
  // missing.
  DWORD GetSection(FileIo& file, LPCSTR section, LPSTR buffer, DWORD size);
  DWORD GetString(FileIo& file, LPCSTR section, LPCSTR key,
                  LPCSTR default_value, LPSTR buffer, DWORD size);

  // WritePrivateProfileStringA on `file`: WriteString on its
  // contents, the file replaced atomically by the result. A write that
  // changes nothing (the value stored, a deletion of what is not there)
  // touches nothing and creates no file. False when the name reaches no
  // file, the file is read-only (even for a write that would change
  // nothing, as Wine opens it for writing first), something is there that
  // cannot be read (never overwritten), the write is refused, or the
  // replace fails; a failed write leaves the file out of the cache, so
  // that the next call reads it again.
  bool WriteString(FileIo& file, LPCSTR section, LPCSTR key, LPCSTR value);
  // Platform::WriteProfileStrings on `file`: every write of `writes` as
  // WriteString makes it, the file replaced once by the result; false,
  // with the file as it was, as WriteString fails or when one write is
  // refused.
  bool WriteStrings(FileIo& file, const std::vector<ProfileWrite>& writes);

  // Platform::LoadProfileFile on `file`. A file larger than
  // kMaxProfileFileBytes is never read, and is to every call as one that
  // cannot be read.
  ProfileLoad LoadFile(FileIo& file, std::string* contents);

 private:
  // A run reads two manifests; the bound only matters to a caller that
  // walks many files.
  static constexpr size_t kMaxFiles = 16;

  enum class Found { kFile, kMissing, kUnreadable, kTooLarge };

  // WriteString's way with `change`, which changes the file's contents
  // (setting *changed when it did) or refuses (false).
  bool Change(FileIo& file, const std::function<bool(File*, bool*)>& change);

  // The file as it is now, taken out of the cache or read; *stamp gets its
  // stamp when look.stamped. With `bytes`, its bytes go there, unparsed,
  // instead of into *file.
  Found Take(FileIo& io, const std::string& path, const FileIo::Look& look,
             std::unique_ptr<File>* file, Stamp* stamp,
             std::string* bytes = nullptr);
  // The file as it is now, kept; null when missing or unreadable. Valid
  // until the next call.
  File* Load(FileIo& io);
  // Keeps `file` as the contents of `path` while its stamp is `stamp`; an
  // unstamped file only until the next call.
  File* Keep(const std::string& path, bool stamped, const Stamp& stamp,
             std::unique_ptr<File> file);

  struct Entry {
    Stamp stamp;
    std::unique_ptr<File> file;
  };
  std::map<std::string, Entry> files_;
  std::unique_ptr<File> unstamped_;
};

}  // namespace ks::profile

#endif  // KSUPDATE_FORMATS_PROFILE_STORE_H_
