// ksupdate with the Win32 calls that write their target in place: the
// module copy and the three profile calls go straight to the real CopyFileA
// and profile functions, the registry, attributes, lock and the one reading
// of the patch manifest to the Windows provider. The same update by the same
// engine, so that scripts/bench can show what the provider's safe replace costs
// under Wine. Never to ship: a kill in the middle of a copy or a record leaves
// a torn module or a cut client.ver.
#include "app/argument_text.h"
#include "app/updater_app.h"
#include "app/winapp.h"
#include "platform/platform.h"
#include "platform/process.h"
// After our own declarations, so that no macro of theirs touches them.
// clang-format off
#include <windows.h>
// clang-format on

namespace ks {
namespace {

class InPlacePlatform : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;

  DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                  LPCSTR file) override {
    return ::GetPrivateProfileSectionA(section, buffer, size, file);
  }
  DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer, DWORD size,
                                 LPCSTR file) override {
    return ::GetPrivateProfileStringA(section, key, default_value, buffer, size,
                                      file);
  }
  BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                  LPCSTR file) override {
    return ::WritePrivateProfileStringA(section, key, value, file);
  }
  // No checksum is checked: the workloads it runs have none.
  BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists,
                 const ExpectedBytes* /*expected*/,
                 CopyReport* /*report*/) override {
    return ::CopyFileA(source, target, fail_if_exists);
  }
};

}  // namespace
}  // namespace ks

int main() {
  // As the shipped program starts, so that only the calls above differ.
  ks::PrepareProcess();
  ks::InPlacePlatform platform(ks::DefaultPlatform());
  ks::theApp.UseSystem(&platform, nullptr);
  return ks::AfxWinMain(ks::ArgumentText(ks::RawCommandLine()));
}
