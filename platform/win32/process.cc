// The process entry's needs on Windows.
#include "platform/process.h"

#include <string>
#include <vector>

#include "platform/win32/hardening.h"
#include "platform/win32/installation.h"
// clang-format off
#include <windows.h>
// clang-format on

namespace ks {

void PrepareProcess() { (void)HardenProcess(); }

const char* RawCommandLine() { return ::GetCommandLineA(); }

std::string HostWordToAnsi(const char* word) { return word; }

unsigned long ProcessId() { return ::GetCurrentProcessId(); }

namespace {

// "DOMAIN\user" of the process's token; "?" when the SID has no name here.
std::string AccountName() {
  std::vector<unsigned char> sid = win32::ProcessUserSid();
  if (sid.empty()) return "?";
  char name[256];
  char domain[256];
  ::DWORD name_size = sizeof name;
  ::DWORD domain_size = sizeof domain;
  SID_NAME_USE use;
  if (!::LookupAccountSidA(nullptr, sid.data(), name, &name_size, domain,
                           &domain_size, &use)) {
    return "?";
  }
  return domain_size > 0 ? std::string(domain) + "\\" + name
                         : std::string(name);
}

}  // namespace

RunIdentity ReadRunIdentity() {
  RunIdentity identity;
  identity.account = AccountName();
  identity.elevated = win32::IsElevated();
  char computer[MAX_COMPUTERNAME_LENGTH + 1];
  ::DWORD computer_size = sizeof computer;
  identity.computer =
      ::GetComputerNameA(computer, &computer_size) ? computer : "?";
  // A path longer than MAX_PATH comes back cut and unterminated on older
  // systems: a buffer that is filled whole is not believed.
  std::vector<char> program(32768);
  const ::DWORD length = ::GetModuleFileNameA(
      nullptr, program.data(), static_cast<::DWORD>(program.size()));
  identity.program = length > 0 && length < program.size()
                         ? std::string(program.data(), length)
                         : "?";
  return identity;
}

}  // namespace ks
