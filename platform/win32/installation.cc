// Our declarations first; <windows.h> after them, so that its macros cannot
// touch them.
#include "platform/win32/installation.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/files.h"
// clang-format off
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>
#include <sddl.h>
// clang-format on

namespace ks::win32 {

namespace {

// The token information of class `kind`, whole; empty when it cannot be
// read.
std::vector<unsigned char> TokenInfo(TOKEN_INFORMATION_CLASS kind) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return {};
  }
  ::DWORD size = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &size);
  std::vector<unsigned char> info(size);
  if (size == 0 ||
      !::GetTokenInformation(token, kind, info.data(), size, &size)) {
    info.clear();
  }
  ::CloseHandle(token);
  return info;
}

}  // namespace

bool IsElevated() {
  const std::vector<unsigned char> info = TokenInfo(TokenElevation);
  if (info.size() < sizeof(TOKEN_ELEVATION)) return false;
  TOKEN_ELEVATION elevation;
  std::copy(info.begin(), info.begin() + sizeof elevation,
            reinterpret_cast<unsigned char*>(&elevation));
  return elevation.TokenIsElevated != 0;
}

std::vector<unsigned char> ProcessUserSid() {
  std::vector<unsigned char> info = TokenInfo(TokenUser);
  if (info.size() < sizeof(TOKEN_USER)) return {};
  const auto* user = reinterpret_cast<const TOKEN_USER*>(info.data());
  if (!::IsValidSid(user->User.Sid)) return {};
  const auto* sid = static_cast<const unsigned char*>(user->User.Sid);
  return std::vector<unsigned char>(sid, sid + ::GetLengthSid(user->User.Sid));
}

bool OwnedByRunOrAdministrators(void* file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(static_cast<HANDLE>(file), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const std::vector<unsigned char> user = ProcessUserSid();
  const bool trusted =
      owner != nullptr && ::IsValidSid(owner) &&
      ((!user.empty() &&
        ::EqualSid(owner, const_cast<unsigned char*>(user.data()))) ||
       ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
       ::IsWellKnownSid(owner, WinLocalSystemSid));
  ::LocalFree(descriptor);
  return trusted;
}

HeldDirectories::~HeldDirectories() {
  for (void* handle : handles_) ::CloseHandle(handle);
}

bool HeldDirectories::Hold(const std::string& path, bool* reparse) {
  // Without FILE_SHARE_DELETE: a rename of the directory, which needs
  // DELETE access, fails while this handle is open. Attributes only, so
  // that nothing else is kept out.
  HANDLE handle = ::CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  handles_.push_back(handle);
  BY_HANDLE_FILE_INFORMATION info;
  *reparse = !::GetFileInformationByHandle(handle, &info) ||
             (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return true;
}

bool HeldInstallation::Hold(const char* bin_dir, InstallationRefusal* refused) {
  held_ = std::make_unique<HeldDirectories>();
  bin_ = bin_dir != nullptr ? bin_dir : "";
  elevated_ = IsElevated();
  if (bin_.empty()) return true;
  // The installation directory is what the registry names; bin is in it.
  const std::string::size_type cut = bin_.find_last_of("\\/");
  std::vector<std::string> ways;
  if (cut != std::string::npos) {
    // "C:\bin": the root of the drive, as "C:\".
    ways.push_back(bin_.substr(0, cut == 2 && bin_[1] == ':' ? 3 : cut));
  }
  ways.push_back(bin_);
  for (const std::string& dir : ways) {
    bool reparse = false;
    if (!held_->Hold(dir, &reparse)) return true;
    // A junction or a link there would let whoever made it send an
    // elevated run's writes into any directory, System32 among them.
    if (reparse && elevated_) {
      refused->why = Refusal::kLink;
      refused->path = dir;
      return false;
    }
  }
  return true;
}

bool NoReparsePointBelow(const std::string& root, const std::string& path,
                         HeldDirectories* held) {
  if (root.empty() || path.size() <= root.size() + 1 ||
      path.compare(0, root.size(), root) != 0 ||
      (path[root.size()] != '\\' && path[root.size()] != '/')) {
    return true;
  }
  for (std::string::size_type at = path.find_first_of("\\/", root.size() + 1);
       at != std::string::npos; at = path.find_first_of("\\/", at + 1)) {
    bool reparse = false;
    if (held->Hold(path.substr(0, at), &reparse) && reparse) return false;
  }
  return true;
}

bool HeldInstallation::MayWrite(const std::string& path,
                                HeldDirectories* held) const {
  return !elevated_ || NoReparsePointBelow(bin_, path, held);
}

namespace {

// What a log directory that an elevated run makes gets: SYSTEM and
// Administrators full control, Users read, nothing inherited from above
// (%ProgramData% lets users add files, which would then be theirs).
class OutputDirSecurity {
 public:
  OutputDirSecurity() {
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
            SDDL_REVISION_1, &descriptor_, nullptr)) {
      attributes_.nLength = sizeof attributes_;
      attributes_.lpSecurityDescriptor = descriptor_;
      attributes_.bInheritHandle = FALSE;
    }
  }
  OutputDirSecurity(const OutputDirSecurity&) = delete;
  OutputDirSecurity& operator=(const OutputDirSecurity&) = delete;
  ~OutputDirSecurity() { ::LocalFree(descriptor_); }
  SECURITY_ATTRIBUTES* get() {
    return descriptor_ != nullptr ? &attributes_ : nullptr;
  }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace

bool HoldOutputDirectory(const std::string& path, HeldDirectories* held,
                         bool* refused) {
  *refused = false;
  if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0) {
    return true;
  }
  char full[MAX_PATH];
  const ::DWORD length =
      ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return false;
  const std::string file(full, length);
  const std::string::size_type cut = file.find_last_of('\\');
  if (cut == std::string::npos) return false;
  // The root: "C:\\", or a share's "\\\\server\\share\\".
  std::string::size_type at = 3;
  if (file.rfind("\\\\", 0) == 0) {
    at = file.find('\\', file.find('\\', 2) + 1);
    if (at == std::string::npos) return false;
    ++at;
  }
  const bool elevated = IsElevated();
  OutputDirSecurity security;
  while (at <= cut) {
    std::string::size_type end = file.find('\\', at);
    if (end == std::string::npos || end > cut) end = cut;
    const std::string dir = file.substr(0, end);
    at = end + 1;
    if (dir.size() < 3 || dir.back() == ':') continue;
    if (::GetFileAttributesA(dir.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !::CreateDirectoryA(dir.c_str(), elevated ? security.get() : nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
    bool reparse = false;
    if (!held->Hold(dir, &reparse)) return false;
    // A junction on the way sends the file anywhere, even into the object
    // manager's namespace.
    if (reparse) {
      *refused = true;
      return false;
    }
    if (end != cut) continue;
    HANDLE handle = ::CreateFileA(
        dir.c_str(), READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    // Whoever owns it may have put anything in it, and may change it.
    *refused = !OwnedByRunOrAdministrators(handle);
    ::CloseHandle(handle);
    return !*refused;
  }
  return true;
}

}  // namespace ks::win32
