#include "platform/win32/win32_files.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <cstdio>
#include <iterator>
#include <vector>

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
  do {
    // The pattern also matches short (8.3) names: check the long one.
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !IsTempName(found.cFileName)) {
      continue;
    }
    const std::string stale = prefix + found.cFileName;
    SetFileAttributesA(stale.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(stale.c_str());
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
                      std::string* temp_path) {
  RemoveStaleTemps(prefix);
  for (int attempt = 0; attempt < 16; ++attempt) {
    *temp_path = TempName(prefix);
    out->Reset(CreateFileA(temp_path->c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (out->valid()) return true;
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

void Discard(const std::string& temp_path) {
  SavedError saved;
  SetFileAttributesA(temp_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(temp_path.c_str());
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

bool CopyData(HANDLE in, HANDLE out) {
  std::vector<char> buffer(kCopyBufferSize);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer.data(), kCopyBufferSize, &got, nullptr)) {
      return false;
    }
    if (got == 0) return true;
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
               const std::string& prefix) {
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
  // Deleting a file that is mapped as an image fails; it then goes at the
  // next restart where we may schedule that (administrators), else at the
  // next run's sweep of this directory.
  if (!DeleteFileA(aside.c_str())) {
    MoveFileExA(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
  return true;
}

// Moves the finished temporary file over `target`, waiting out a scanner
// that holds either file for a moment.
bool MoveOver(const std::string& temp_path, const std::string& target,
              const std::string& prefix, bool may_swap) {
  return Retrying(true, [&] {
    if (MoveFileExA(temp_path.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = GetLastError();
    // Only for modules: a kill between the two moves of a swap would leave
    // client.ver missing, and every installed version would read as 0.
    if (may_swap && error == ERROR_ACCESS_DENIED &&
        SwapInUse(temp_path, target, prefix)) {
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

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* contents,
                   bool* missing) {
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
  if (GetFileSizeEx(in.get(), &size) && size.QuadPart > 0 &&
      size.QuadPart < (1LL << 31)) {
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
  }
}

bool ReplaceFileContents(const std::string& path, const std::string& data) {
  DWORD existing = 0;
  if (RefusedTarget(path, kRefusedByWrite, &existing)) return false;
  const std::string prefix = DirectoryPrefix(path);
  Handle out;
  std::string temp_path;
  if (!CreateTempBeside(prefix, &out, &temp_path)) return false;
  // The data reach the disk before the new name does.
  bool ok = WriteAll(out.get(), data.data(), data.size()) &&
            FlushFileBuffers(out.get());
  ok = out.Close() && ok;
  if (ok && existing != INVALID_FILE_ATTRIBUTES) {
    CopySecurity(path, temp_path);
    ok = SetFileAttributesA(temp_path.c_str(), Settable(existing)) != FALSE;
  }
  ok = ok && MoveOver(temp_path, path, prefix, false);
  if (!ok) Discard(temp_path);
  return ok;
}

bool CopyFileAtomically(const std::string& source, const std::string& target,
                        bool fail_if_exists) {
  // Writers are kept out while we read, so the copy is of one version.
  Handle in;
  if (!Retrying(false, [&] {
        in.Reset(CreateFileA(
            source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        return in.valid();
      })) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(in.get(), &info)) return false;

  DWORD existing = 0;
  if (RefusedTarget(target, kRefusedByCopy, &existing)) return false;
  if (existing != INVALID_FILE_ATTRIBUTES && fail_if_exists) {
    SetLastError(ERROR_FILE_EXISTS);
    return false;
  }

  const std::string prefix = DirectoryPrefix(target);
  Handle out;
  std::string temp_path;
  if (!CreateTempBeside(prefix, &out, &temp_path)) return false;
  // The bytes only: CopyFile into the temporary file would also carry the
  // source's alternate streams (the download mark, which makes .NET refuse
  // the module) and its encryption. The last-write time goes with them, as
  // CopyFileA gives it.
  bool ok = CopyData(in.get(), out.get()) &&
            SetFileTime(out.get(), nullptr, nullptr, &info.ftLastWriteTime) &&
            FlushFileBuffers(out.get());
  ok = out.Close() && ok;
  // The source is closed before the move, so that copying a file onto
  // itself replaces it like any other.
  in.Close();
  if (ok && existing != INVALID_FILE_ATTRIBUTES) {
    CopySecurity(target, temp_path);
  }
  // CopyFileA's new file has the source's attributes, with the archive bit.
  ok = ok && SetFileAttributesA(temp_path.c_str(),
                                Settable(info.dwFileAttributes |
                                         FILE_ATTRIBUTE_ARCHIVE)) != FALSE;
  ok = ok && MoveOver(temp_path, target, prefix, true);
  if (!ok) Discard(temp_path);
  return ok;
}

}  // namespace ks::win32
