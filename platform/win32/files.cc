#include "platform/win32/files.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "platform/sha256.h"
#include "platform/temp_files.h"

namespace ks::win32 {

namespace {

// A scanner or the search indexer opens a file that was just written, or is
// about to be replaced, for a few milliseconds; a rename or open refused
// meanwhile succeeds a moment later. 2 + 4 + ... + 128 = 254 ms in all.
constexpr DWORD kRetryWaitsMs[] = {2, 4, 8, 16, 32, 64, 128};

// The attributes that CopyFileA carries from the source to the new file.
constexpr DWORD kCarriedAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

constexpr DWORD kCopyBufferSize = 256 * 1024;

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }

  void Reset(HANDLE handle) {
    Close();
    handle_ = handle;
  }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // True when there was nothing to close or it closed cleanly.
  bool Close() {
    if (!valid()) return true;
    const BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed != FALSE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Keeps the error of a failed step across the clean-up after it.
class SavedError {
 public:
  SavedError() : error_(GetLastError()) {}
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() { SetLastError(error_); }

 private:
  DWORD error_;
};

bool IsMomentary(DWORD error, bool access_denied_too) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         (access_denied_too && error == ERROR_ACCESS_DENIED);
}

// Runs `attempt` until it succeeds, fails otherwise than for a moment, or
// the waits are used up; the last error is the last attempt's.
template <typename Attempt>
bool Retrying(bool access_denied_too, Attempt attempt) {
  for (size_t i = 0;; ++i) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    if (!IsMomentary(error, access_denied_too) ||
        i == std::size(kRetryWaitsMs)) {
      SetLastError(error);
      return false;
    }
    Sleep(kRetryWaitsMs[i]);
  }
}

// Where files beside `path` go: its directory with the separator, so that
// a name can be appended ("" for the current directory, "C:" for the
// current directory of drive C).
std::string DirectoryPrefix(const std::string& path) {
  const std::string::size_type separator = path.find_last_of("\\/");
  if (separator != std::string::npos) return path.substr(0, separator + 1);
  if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
  return std::string();
}

// The path that an open handle stands for, as the system resolved it
// ("\\?\C:\Client\bin\x.dll": every link and junction on the way
// followed); "" when it cannot be had.
std::string FinalPath(HANDLE handle) {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleA(
        handle, path.data(), static_cast<DWORD>(path.size()),
        FILE_NAME_NORMALIZED);
    if (length == 0) return std::string();
    // Too small: the length asked for counts the terminating zero.
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.assign(length, '\0');
  }
}

// The final path of the directory that `prefix` (see DirectoryPrefix)
// names, without a trailing backslash; "" when it cannot be opened.
std::string DirectoryFinalPath(const std::string& prefix) {
  const std::string directory = prefix + ".";
  Handle handle(
      CreateFileA(directory.c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return std::string();
  std::string path = FinalPath(handle.get());
  if (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

// Whether the open `handle` is a disk file (no directory, no reparse point
// opened as itself) with one name: a link, a junction or a second hard link
// would lead a write or a delete to a file of someone else's. *info gets
// the file's information.
bool IsPlainFileWithOneName(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileType(handle) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(handle, info) &&
         (info->dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         info->nNumberOfLinks == 1;
}

// Gives the open file `file` (whose information is `info`), found at
// `path`, the attributes `attributes`. Through a second handle, opened
// without following a reparse point and checked by file identity (volume
// and index) to be the same file: a name swapped meanwhile for a link to
// another file never passes the change on. Wine refuses write-attribute
// access to a read-only file to a user other than root, so there the
// attribute is changed by path, and the first handle then shows whether it
// was this file's; on Windows the owner of a file and an administrator
// get that access.
bool SetAttributesThrough(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info,
                          const std::string& path, DWORD attributes) {
  Handle writer(CreateFileA(
      path.c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES, kShareAll,
      nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION same;
  if (writer.valid()) {
    if (!GetFileInformationByHandle(writer.get(), &same) ||
        same.dwVolumeSerialNumber != info.dwVolumeSerialNumber ||
        same.nFileIndexHigh != info.nFileIndexHigh ||
        same.nFileIndexLow != info.nFileIndexLow) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    FILE_BASIC_INFO basic{};  // zero times are left as they are
    basic.FileAttributes = attributes;
    return SetFileInformationByHandle(writer.get(), FileBasicInfo, &basic,
                                      sizeof basic) != FALSE;
  }
  SetFileAttributesA(path.c_str(), attributes);
  constexpr DWORD kShown =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  return GetFileInformationByHandle(file, &same) &&
         (same.dwFileAttributes & kShown) == (attributes & kShown);
}

bool ClearReadOnly(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info,
                   const std::string& path) {
  return SetAttributesThrough(file, info, path, FILE_ATTRIBUTE_NORMAL);
}

// Deletes the file at `path` by handle, and only when it is what our
// temporary files are: a plain disk file with one link, no reparse point,
// named with our prefix, in the directory whose final path is `directory`.
// Between the moment a name is found and the delete, someone who may write
// that directory or a parent could put a junction or link in its way; the
// file is opened without following a last reparse point and its final
// path checked, so that a delete with more rights than theirs never lands
// elsewhere. False when the file is not ours or cannot be deleted now (a
// module still mapped as an image): it stays for a later run.
bool DeleteOwnTemp(const std::string& path, const std::string& directory) {
  SavedError saved;
  if (directory.empty()) return false;
  Handle file(CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                          kShareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!IsPlainFileWithOneName(file.get(), &info)) return false;
  const std::string final_path = FinalPath(file.get());
  const std::string::size_type slash = final_path.rfind('\\');
  if (slash != directory.size() ||
      final_path.compare(0, slash, directory) != 0 ||
      !IsTempName(final_path.c_str() + slash + 1)) {
    return false;
  }
  // A read-only file cannot be marked for deletion.
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      !ClearReadOnly(file.get(), info, path)) {
    return false;
  }
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(file.get(), FileDispositionInfo,
                                    &disposition, sizeof disposition) != FALSE;
}

// Removes what a killed run left beside the files it replaced, once per
// directory and process. A set-aside module that is still loaded cannot be
// removed yet and stays for a later run.
void RemoveStaleTemps(const std::string& prefix) {
  static TempSweeps sweeps;
  if (!sweeps.First(prefix)) return;
  WIN32_FIND_DATAA found;
  const std::string pattern = prefix + kTempPrefix + "*";
  HANDLE find = FindFirstFileA(pattern.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  const std::string directory = DirectoryFinalPath(prefix);
  do {
    // The pattern also matches short (8.3) names: check the long one.
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !IsTempName(found.cFileName)) {
      continue;
    }
    DeleteOwnTemp(prefix + found.cFileName, directory);
  } while (FindNextFileA(find, &found));
  FindClose(find);
}

// A name for a new file beside the others in `prefix`, not in use when it
// was made.
std::string TempName(const std::string& prefix) {
  static unsigned counter = 0;
  const unsigned value = (GetCurrentProcessId() * 2654435761u) ^
                         GetTickCount() ^ (++counter * 40503u);
  char name[sizeof kTempPrefix + 8];
  std::snprintf(name, sizeof name, "%s%08x", kTempPrefix, value);
  return prefix + name;
}

// Creates a new, empty temporary file beside the others in `prefix`, open
// for writing and shared with nobody while it is written.
bool CreateTempBeside(const std::string& prefix, Handle* out,
                      std::string* temp_path, bool sweep = true) {
  if (sweep) RemoveStaleTemps(prefix);
  for (int attempt = 0; attempt < 16; ++attempt) {
    *temp_path = TempName(prefix);
    out->Reset(CreateFileA(temp_path->c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (out->valid()) return true;
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

void Discard(const std::string& temp_path, const std::string& prefix) {
  SavedError saved;
  DeleteOwnTemp(temp_path, DirectoryFinalPath(prefix));
}

bool WriteAll(HANDLE out, const char* data, size_t size) {
  while (size > 0) {
    const DWORD chunk =
        static_cast<DWORD>(size < kCopyBufferSize ? size : kCopyBufferSize);
    DWORD written = 0;
    if (!WriteFile(out, data, chunk, &written, nullptr)) return false;
    if (written != chunk) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

// Copies the rest of `in` to `out`; each block also goes to `hash` when
// that is not null, as it is written. With `size`, a source that holds more
// or fewer bytes fails (*longer_or_shorter), and no byte past it is read.
bool CopyData(HANDLE in, HANDLE out, Sha256* hash,
              std::optional<std::uint64_t> size, bool* longer_or_shorter) {
  std::vector<char> buffer(kCopyBufferSize);
  std::uint64_t done = 0;
  for (;;) {
    // One byte past the size, at most, tells a longer source.
    DWORD room = kCopyBufferSize;
    if (size && *size - done < room) {
      room = static_cast<DWORD>(*size - done) + 1;
    }
    DWORD got = 0;
    if (!ReadFile(in, buffer.data(), room, &got, nullptr)) return false;
    if (size && (got == 0 ? done != *size : got > *size - done)) {
      *longer_or_shorter = true;
      SetLastError(ERROR_INVALID_DATA);
      return false;
    }
    if (got == 0) return true;
    done += got;
    if (hash != nullptr) hash->Update(buffer.data(), got);
    if (!WriteAll(out, buffer.data(), got)) return false;
  }
}

// The file's DACL as a self-relative security descriptor; empty when it
// cannot be read.
std::vector<unsigned char> DaclOf(const std::string& path) {
  const SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
  // Usually one call: a file's DACL is a few ACEs, and under Wine each call
  // opens the file through the server. A larger one gets its size told.
  std::vector<unsigned char> descriptor(1024);
  DWORD needed = 0;
  if (!GetFileSecurityA(path.c_str(), info, descriptor.data(),
                        static_cast<DWORD>(descriptor.size()), &needed)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        needed <= descriptor.size()) {
      return {};
    }
    descriptor.resize(needed);
    if (!GetFileSecurityA(path.c_str(), info, descriptor.data(), needed,
                          &needed)) {
      return {};
    }
  }
  // What the descriptor holds, not the buffer, is compared.
  descriptor.resize(GetSecurityDescriptorLength(descriptor.data()));
  return descriptor;
}

// A file written over in place (as CopyFileA and the profile write do it)
// keeps its security descriptor; a file moved in carries the one it was
// created with, inherited from the directory. So the old file's DACL,
// protection flag included, goes to the new one when they differ (usually
// both are the directory's inherited one). Best effort: a DACL we may not
// read stays the inherited one, which is what a new file gets. Under Wine,
// which makes a file's DACL from its Unix mode and a mode from a DACL set,
// an old file's mode other than the default comes out with the group given
// the owner's rights (0600 becomes 0770).
void CopySecurity(const std::string& from, const std::string& to) {
  std::vector<unsigned char> old_dacl = DaclOf(from);
  if (old_dacl.empty() || DaclOf(to) == old_dacl) return;
  SetFileSecurityA(to.c_str(), DACL_SECURITY_INFORMATION, old_dacl.data());
}

// A file mapped as a program image (a loaded DLL, a running EXE) cannot be
// replaced, but it can be renamed: the old file goes aside, the new one in.
// The process that has it loaded keeps its image; the next start loads the
// new file.
bool SwapInUse(const std::string& temp_path, const std::string& target,
               const std::string& prefix, bool* moved_aside) {
  const std::string aside = TempName(prefix);
  if (!MoveFileExA(target.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
    return false;
  }
  if (!MoveFileExA(temp_path.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
    SavedError saved;
    // If the old file cannot go back either, the module is missing, never
    // torn: the next run finds no file and copies it again.
    MoveFileExA(aside.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    return false;
  }
  *moved_aside = true;
  // Deleting a file that is mapped as an image fails; it then goes at the
  // next run's sweep of this directory. Not at the next restart: a delete
  // queued in PendingFileRenameOperations is done by path, with the
  // system's rights, and stale entries there make later installers fail.
  DeleteOwnTemp(aside, DirectoryFinalPath(prefix));
  return true;
}

// Moves the finished temporary file over `target`, waiting out a scanner
// that holds either file for a moment.
bool MoveOver(const std::string& temp_path, const std::string& target,
              const std::string& prefix, bool may_swap, bool* moved_aside) {
  return Retrying(true, [&] {
    if (MoveFileExA(temp_path.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = GetLastError();
    // Only for modules: a kill between the two moves of a swap would leave
    // client.ver missing, and every installed version would read as 0.
    if (may_swap && error == ERROR_ACCESS_DENIED &&
        SwapInUse(temp_path, target, prefix, moved_aside)) {
      return true;
    }
    SetLastError(error);
    return false;
  });
}

// The attributes to give the new file: `wanted`, of which what SetFile-
// Attributes takes, or the normal state when that is nothing.
DWORD Settable(DWORD wanted) {
  const DWORD attributes = wanted & kCarriedAttributes;
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// The target as the in-place calls refuse it, with `refused` among its
// attributes: a directory or a read-only file always (MoveFileEx replaces
// read-only files, under Wine any), and for CopyFileA also a hidden or
// system file, which its CREATE_ALWAYS open refuses on Windows.
// *attributes is INVALID_FILE_ATTRIBUTES when nothing is there.
constexpr DWORD kRefusedByWrite =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY;
constexpr DWORD kRefusedByCopy =
    kRefusedByWrite | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool RefusedTarget(const std::string& path, DWORD refused, DWORD* attributes) {
  *attributes = GetFileAttributesA(path.c_str());
  if (*attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((*attributes & refused) == 0) return false;
  SetLastError(ERROR_ACCESS_DENIED);
  return true;
}

// The copy of CopyFileAtomically into a new temporary file beside
// `target`, checked, flushed and closed, with the source's attributes; its
// path in *temp_path. A target that CopyFileA's open would refuse (see
// RefusedTarget) is refused here with `refused` of its attributes. On
// failure the last error is the one of the step that failed, and nothing
// is left.
bool CopyToTemp(const std::string& source, const std::string& target,
                bool fail_if_exists, DWORD refused,
                const ExpectedBytes* expected, CopyReport* report,
                std::string* temp_path, DWORD* attributes) {
  // Writers are kept out while we read, so the copy is of one version: a
  // file that another process has open for writing (still being copied
  // into the patch, say) is not opened at all. A reparse point in the
  // source's place is opened as itself, and refused.
  Handle in;
  if (!Retrying(false, [&] {
        in.Reset(CreateFileA(
            source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING,
            FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        return in.valid();
      })) {
    if (GetLastError() == ERROR_SHARING_VIOLATION) {
      report->problem = CopyReport::Problem::kSourceChanged;
    }
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(in.get(), &info)) return false;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      GetFileType(in.get()) != FILE_TYPE_DISK) {
    report->problem = CopyReport::Problem::kSourceRefused;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }

  // A file of another size than the patch vouches for is refused before a
  // byte of it is read: it could be of any size at all.
  const std::uint64_t length =
      (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  if (expected != nullptr && expected->size && length != *expected->size) {
    report->problem = CopyReport::Problem::kSizeMismatch;
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }

  DWORD existing = 0;
  if (RefusedTarget(target, refused, &existing)) return false;
  if (existing != INVALID_FILE_ATTRIBUTES && fail_if_exists) {
    SetLastError(ERROR_FILE_EXISTS);
    return false;
  }

  const std::string prefix = DirectoryPrefix(target);
  Handle out;
  if (!CreateTempBeside(prefix, &out, temp_path)) return false;
  // The bytes only: CopyFile into the temporary file would also carry the
  // source's alternate streams (the download mark, which makes .NET refuse
  // the module) and its encryption. The last-write time goes with them, as
  // CopyFileA gives it.
  const bool hashed = expected != nullptr && expected->sha256.has_value();
  Sha256 hash;
  bool longer_or_shorter = false;
  bool ok = CopyData(in.get(), out.get(), hashed ? &hash : nullptr,
                     expected != nullptr ? expected->size : std::nullopt,
                     &longer_or_shorter);
  if (longer_or_shorter) report->problem = CopyReport::Problem::kSizeMismatch;
  if (ok && hashed) {
    Sha256Digest digest;
    if (!hash.Finish(&digest)) {
      ok = false;
    } else if (digest != *expected->sha256) {
      report->problem = CopyReport::Problem::kChecksumMismatch;
      report->actual = digest;
      SetLastError(ERROR_CRC);
      ok = false;
    }
  }
  ok = ok && SetFileTime(out.get(), nullptr, nullptr, &info.ftLastWriteTime) &&
       FlushFileBuffers(out.get());
  ok = out.Close() && ok;
  // The source is closed before the move, so that copying a file onto
  // itself replaces it like any other.
  in.Close();
  // CopyFileA's new file has the source's attributes, with the archive bit.
  *attributes = Settable(info.dwFileAttributes | FILE_ATTRIBUTE_ARCHIVE);
  ok = ok && SetFileAttributesA(temp_path->c_str(), *attributes) != FALSE;
  if (!ok) Discard(*temp_path, prefix);
  return ok;
}

// Moves the finished copy `temp_path`, whose attributes are `attributes`,
// over `target`, unless CopyFileA's open would refuse the target; removes
// it on failure.
bool PutOver(const std::string& temp_path, const std::string& target,
             DWORD attributes, CopyReport* report) {
  const std::string prefix = DirectoryPrefix(target);
  DWORD existing = 0;
  bool ok = !RefusedTarget(target, kRefusedByCopy, &existing);
  if (ok && existing != INVALID_FILE_ATTRIBUTES) {
    // Under Wine a DACL set makes the file's mode anew, which drops the
    // read-only attribute: the copy's attributes are given again after it
    // (not as read back: Wine shows the temporary file hidden by its dot).
    CopySecurity(target, temp_path);
    ok = SetFileAttributesA(temp_path.c_str(), attributes) != FALSE;
  }
  ok = ok && MoveOver(temp_path, target, prefix, true, &report->moved_aside);
  if (!ok) Discard(temp_path, prefix);
  return ok;
}

bool CopyInto(const std::string& source, const std::string& target,
              bool fail_if_exists, const ExpectedBytes* expected,
              CopyReport* report) {
  std::string temp_path;
  DWORD attributes = 0;
  return CopyToTemp(source, target, fail_if_exists, kRefusedByCopy, expected,
                    report, &temp_path, &attributes) &&
         PutOver(temp_path, target, attributes, report);
}

}  // namespace

bool SetAttributes(const std::string& path, unsigned long attributes) {
  Handle file(CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) {
    return false;
  }
  // A link or junction has no attributes of ours to change; changing its
  // target's would reach whatever it points to. The copy replaces the
  // link itself.
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
  return SetAttributesThrough(file.get(), info, path, attributes);
}

void SweepStaleTemps(const std::string& path) {
  RemoveStaleTemps(DirectoryPrefix(path));
}

bool ReadWholeFile(const std::string& path, std::string* contents,
                   bool* missing, std::uint64_t max_bytes) {
  *missing = false;
  contents->clear();
  Handle in;
  const bool opened = Retrying(false, [&] {
    in.Reset(CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr));
    return in.valid();
  });
  if (!opened) {
    const DWORD error = GetLastError();
    // A directory does not open without backup semantics: access denied.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
               (attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    SetLastError(error);
    return false;
  }
  LARGE_INTEGER size;
  if (GetFileSizeEx(in.get(), &size) && size.QuadPart > 0) {
    if (static_cast<std::uint64_t>(size.QuadPart) > max_bytes) {
      SetLastError(ERROR_FILE_TOO_LARGE);
      return false;
    }
    contents->reserve(static_cast<size_t>(size.QuadPart));
  }
  std::vector<char> buffer(kCopyBufferSize);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), buffer.data(), kCopyBufferSize, &got, nullptr)) {
      contents->clear();
      return false;
    }
    if (got == 0) return true;
    contents->append(buffer.data(), got);
    // A file that grew since its size was asked is not read without end.
    if (contents->size() > max_bytes) {
      contents->clear();
      SetLastError(ERROR_FILE_TOO_LARGE);
      return false;
    }
  }
}

bool ReplaceFileContents(const std::string& path, const std::string& data,
                         bool sweep) {
  DWORD existing = 0;
  if (RefusedTarget(path, kRefusedByWrite, &existing)) return false;
  const std::string prefix = DirectoryPrefix(path);
  Handle out;
  std::string temp_path;
  if (!CreateTempBeside(prefix, &out, &temp_path, sweep)) return false;
  // The data reach the disk before the new name does.
  bool ok = WriteAll(out.get(), data.data(), data.size()) &&
            FlushFileBuffers(out.get());
  ok = out.Close() && ok;
  if (ok && existing != INVALID_FILE_ATTRIBUTES) {
    CopySecurity(path, temp_path);
    ok = SetFileAttributesA(temp_path.c_str(), Settable(existing)) != FALSE;
  }
  bool moved_aside = false;
  ok = ok && MoveOver(temp_path, path, prefix, false, &moved_aside);
  if (!ok) Discard(temp_path, prefix);
  return ok;
}

bool WriteResultFile(const std::string& path, const std::string& data,
                     bool* refused) {
  *refused = false;
  // What is there already must be a plain file with one name: a link, a
  // junction or a second name would give our text to whatever file it
  // names. The move below replaces whatever comes to the name meanwhile,
  // never writing through it.
  Handle existing(CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
      nullptr));
  if (existing.valid()) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!IsPlainFileWithOneName(existing.get(), &info) ||
        !OwnedByRunOrAdministrators(existing.get())) {
      *refused = true;
      return false;
    }
    existing.Close();
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
    return false;
  }
  // Not the installation's directory: another run's temporary file may be
  // on its way there, and is left alone.
  return ReplaceFileContents(path, data, /*sweep=*/false);
}

bool CopyFileAtomically(const std::string& source, const std::string& target,
                        bool fail_if_exists, const ExpectedBytes* expected,
                        CopyReport* report) {
  CopyReport own_report;
  CopyReport& result = report != nullptr ? *report : own_report;
  result = CopyReport();
  const bool ok = CopyInto(source, target, fail_if_exists, expected, &result);
  if (!ok) result.error = GetLastError();
  return ok;
}

bool StageCopy(const std::string& source, const std::string& target,
               const ExpectedBytes* expected, std::string* temp_path,
               unsigned long* attributes, CopyReport* report) {
  *report = CopyReport();
  // Only a directory is refused now: the attributes that CopyFileA's open
  // refuses are cleared before the copy goes in place, and checked then.
  DWORD given = 0;
  const bool ok = CopyToTemp(source, target, false, FILE_ATTRIBUTE_DIRECTORY,
                             expected, report, temp_path, &given);
  *attributes = given;
  if (!ok) report->error = GetLastError();
  return ok;
}

bool PutStagedCopy(const std::string& temp_path, const std::string& target,
                   unsigned long attributes, CopyReport* report) {
  *report = CopyReport();
  const bool ok = PutOver(temp_path, target, attributes, report);
  if (!ok) report->error = GetLastError();
  return ok;
}

void DiscardStagedCopy(const std::string& temp_path,
                       const std::string& target) {
  Discard(temp_path, DirectoryPrefix(target));
}

bool HashWholeFile(const std::string& path, Sha256Digest* digest) {
  Handle in(CreateFileA(path.c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                        nullptr));
  if (!in.valid() || GetFileType(in.get()) != FILE_TYPE_DISK) return false;
  Sha256 hash;
  // No larger than the file (one byte more, so that a second read sees its
  // end) and left unfilled: most modules are small, and a run may hash
  // thousands of them.
  DWORD size = kCopyBufferSize;
  LARGE_INTEGER length;
  if (GetFileSizeEx(in.get(), &length) && length.QuadPart < size) {
    size = std::max<DWORD>(static_cast<DWORD>(length.QuadPart) + 1, 4096);
  }
  std::unique_ptr<char[]> buffer(new char[size]);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), buffer.get(), size, &got, nullptr)) return false;
    if (got == 0) return hash.Finish(digest);
    hash.Update(buffer.get(), got);
  }
}

}  // namespace ks::win32
