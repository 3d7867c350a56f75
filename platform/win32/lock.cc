// Our declarations first; <windows.h> after them, so that its macros cannot
// touch them.
#include "platform/win32/lock.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/text.h"
#include "platform/lock_wait.h"
#include "platform/win32/files.h"
#include "platform/win32/installation.h"
// clang-format off
#include <windows.h>
#include <aclapi.h>
// clang-format on

namespace ks {

namespace {

// LockFileEx, as Microsoft documents it: an exclusive lock denies every
// other handle the range; locking beyond the end of the file is no error,
// so the file stays empty; the system unlocks what a process held when it
// ends, though "the time it takes ... depends upon available system
// resources", hence the explicit unlock when we are done. Wine takes the
// same lock as a host record lock on the file, which the Linux build's
// lock conflicts with.
class HeldLock : public InstallationLock {
 public:
  HeldLock(HANDLE file, std::string path)
      : file_(file), path_(std::move(path)) {}
  ~HeldLock() override {
    OVERLAPPED range{};
    ::UnlockFileEx(file_, 0, 1, 0, &range);
    ::CloseHandle(file_);
  }

  // The entry's name first, which for all but an 8.3 alias is the name as
  // spelt: the file system matches names regardless of case and trailing
  // dots and blanks. Only an alias or a name in another directory costs a
  // look at the disk, so that a run over many modules pays nothing here.
  bool IsLockFile(LPCSTR path) const override {
    std::string_view dir;
    std::string_view spelt;
    std::string_view own_dir;
    std::string_view own_name;
    Split(path, &dir, &spelt);
    Split(path_, &own_dir, &own_name);
    std::string name(spelt);
    // A short name has a '~' in it; the entry's long name is what it
    // stands for. No wildcard can be part of a file's name, and
    // FindFirstFileA would take one as such.
    if (name.find('~') != std::string::npos) {
      if (name.find_first_of("*?") != std::string::npos) return false;
      WIN32_FIND_DATAA found;
      HANDLE search = ::FindFirstFileA(path, &found);
      if (search == INVALID_HANDLE_VALUE) return false;
      ::FindClose(search);
      name = found.cFileName;
    }
    if (!SameFileName(name, own_name)) return false;
    return dir == own_dir ||
           SameDirectory(std::string(dir), std::string(own_dir));
  }

 private:
  static void Split(std::string_view path, std::string_view* dir,
                    std::string_view* name) {
    const auto cut = path.find_last_of("\\/");
    *dir = cut == std::string_view::npos ? std::string_view()
                                         : path.substr(0, cut);
    *name = cut == std::string_view::npos ? path : path.substr(cut + 1);
  }

  // By identity (volume and file index), which a junction or a link to a
  // directory shares with its target.
  static bool SameDirectory(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    return Identify(a, &first) && Identify(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
  }

  // Opened without any access; FILE_FLAG_BACKUP_SEMANTICS is what opens a
  // directory at all.
  static bool Identify(const std::string& dir,
                       BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE handle = ::CreateFileA(
        dir.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool known = ::GetFileInformationByHandle(handle, info) != 0;
    ::CloseHandle(handle);
    return known;
  }

  HANDLE file_;
  std::string path_;
};

// The lock file's DACL: every access for Administrators and SYSTEM, and for
// the run's own account when it is not elevated (an elevated run's account
// is an administrator, whom the first entry serves; an entry of its own
// would let that account's processes that are not elevated in). Nobody
// else has an entry, so nobody else can open the file for reading or
// writing, one of which LockFileEx needs: a lock of a reader's would hold
// every run off. Protected, so that nothing is inherited from bin.
class LockFileSecurity {
 public:
  LockFileSecurity() {
    std::vector<std::vector<unsigned char>> sids;
    for (WELL_KNOWN_SID_TYPE type :
         {WinBuiltinAdministratorsSid, WinLocalSystemSid}) {
      std::vector<unsigned char> sid(SECURITY_MAX_SID_SIZE);
      ::DWORD size = static_cast<::DWORD>(sid.size());
      if (::CreateWellKnownSid(type, nullptr, sid.data(), &size)) {
        sid.resize(size);
        sids.push_back(std::move(sid));
      }
    }
    if (!win32::IsElevated()) {
      std::vector<unsigned char> user = win32::ProcessUserSid();
      if (!user.empty()) sids.push_back(std::move(user));
    }
    ::DWORD size = sizeof(ACL);
    for (const auto& sid : sids) {
      size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(::DWORD) +
              static_cast<::DWORD>(sid.size());
    }
    acl_.resize(size);
    auto* acl = reinterpret_cast<PACL>(acl_.data());
    valid_ = !sids.empty() && ::InitializeAcl(acl, size, ACL_REVISION);
    for (auto& sid : sids) {
      valid_ = valid_ && ::AddAccessAllowedAce(acl, ACL_REVISION,
                                               FILE_ALL_ACCESS, sid.data());
    }
    valid_ = valid_ &&
             ::InitializeSecurityDescriptor(&descriptor_,
                                            SECURITY_DESCRIPTOR_REVISION) &&
             ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
             ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED,
                                            SE_DACL_PROTECTED);
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
  }

  // For CreateFile: a new file gets the DACL; null when it could not be
  // made (the file then gets bin's, as before).
  SECURITY_ATTRIBUTES* attributes() { return valid_ ? &attributes_ : nullptr; }

  // Gives the open file `file` (with WRITE_DAC) the DACL: a lock file that
  // an older run made has bin's. SetSecurityInfo, as Microsoft asks for
  // files; Wine 8 answers it with success and changes nothing, so the
  // handle's own call (NtSetSecurityObject, through
  // SetKernelObjectSecurity) follows with the same protected DACL, which
  // for one file, with nothing below it to inherit, sets the same.
  bool Apply(HANDLE file) {
    const SECURITY_INFORMATION info =
        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    return valid_ &&
           ::SetSecurityInfo(file, SE_FILE_OBJECT, info, nullptr, nullptr,
                             reinterpret_cast<PACL>(acl_.data()),
                             nullptr) == ERROR_SUCCESS &&
           ::SetKernelObjectSecurity(file, info, &descriptor_);
  }

 private:
  std::vector<unsigned char> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool valid_ = false;
};

// Opens or creates the lock file with the DACL of LockFileSecurity, given
// to an old one too where this account may change its DACL.
HANDLE OpenLockFile(LPCSTR path) {
  LockFileSecurity security;
  const ::DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const ::DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE file =
      ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE | WRITE_DAC, share,
                    security.attributes(), OPEN_ALWAYS, flags, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_ALREADY_EXISTS) security.Apply(file);
    return file;
  }
  if (::GetLastError() != ERROR_ACCESS_DENIED) return file;
  // An old file whose DACL this account may not change still serves as a
  // lock.
  return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share,
                       security.attributes(), OPEN_ALWAYS, flags, nullptr);
}

// Whether Windows Installer is running an installation: it holds the
// mutex Global\_MSIExecute while it does. One that this account may not
// open is there all the same.
bool InstallerRunning() {
  HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, "Global\\_MSIExecute");
  if (mutex != nullptr) {
    ::CloseHandle(mutex);
    return true;
  }
  return ::GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace

LockResult Win32LockInstallation(LPCSTR path, DWORD timeout_ms,
                                 std::unique_ptr<InstallationLock>* lock) {
  // A reparse point in the lock file's place (a link or junction that
  // someone who may write bin put there) is opened as itself and refused,
  // as is anything but a plain disk file.
  HANDLE file = OpenLockFile(path);
  if (file == INVALID_HANDLE_VALUE) return LockResult::kFailed;
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(file) != FILE_TYPE_DISK ||
      !::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes &
       (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    ::CloseHandle(file);
    return LockResult::kFailed;
  }
  // Tried again and again rather than waited for: a lock that a Linux
  // process holds on the host file is not one that Wine's server would
  // wake us for.
  const LockResult result = WaitForLock(
      timeout_ms,
      [file] {
        if (InstallerRunning()) return LockResult::kInstallerBusy;
        OVERLAPPED range{};
        if (::LockFileEx(file,
                         LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                         1, 0, &range)) {
          return LockResult::kHeld;
        }
        return ::GetLastError() == ERROR_LOCK_VIOLATION ? LockResult::kBusy
                                                        : LockResult::kFailed;
      },
      [] { return static_cast<DWORD>(::GetTickCount()); },
      [](DWORD ms) { ::Sleep(ms); });
  if (result == LockResult::kHeld) {
    *lock = std::make_unique<HeldLock>(file, path);
  } else {
    ::CloseHandle(file);
  }
  return result;
}

}  // namespace ks
