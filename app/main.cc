// The process entry, on every platform. On Windows too this is the
// entry's `main`: MinGW's start-up calls it for a windowless (-mwindows)
// program as for a console one, and the argument text is taken from the
// raw command line all the same.
#include <cstdio>
#include <cstring>

#include "app/argument_text.h"
#include "app/winapp.h"
#include "ksupdate_version.h"
#include "platform/process.h"

namespace {

constexpr char kUsage[] =
    "Usage: ksupdate PATH\n"
    "Brings the modules of the installed client up to date from the patch\n"
    "whose directory PATH (a Windows path, such as C:\\patch\\setup.exe)\n"
    "lies in; the installation is found through the registry of the Wine\n"
    "prefix in WINEPREFIX ($HOME/.wine when unset). Settings:\n"
    "KSUPDATE_TRACE, KSUPDATE_EXIT_CODES, KSUPDATE_RESULT, KSUPDATE_WHATIF.\n"
    "See ksupdate(1).\n";

}  // namespace

int main(int argc, char** argv) {
  // First, before the run reads or loads anything.
  ks::PrepareProcess();
  const char* raw = ks::RawCommandLine();
  // Where the host splits the words (Linux), these two exact words answer
  // as its programs do; any other word, and every argument on Windows, is
  // the patch's path.
  if (raw == nullptr && argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (raw == nullptr && argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("ksupdate %s\n", KSUPDATE_VERSION);
    return 0;
  }
  return ks::AfxWinMain(raw != nullptr ? ks::ArgumentText(raw)
                                       : ks::JoinArguments(argc, argv));
}
