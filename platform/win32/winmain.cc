// The process entry on Windows: a windowless GUI program whose argument
// text comes from the raw command line.
#include "app/argument_text.h"
#include "app/winapp.h"
#include "platform/win32/hardening.h"
// clang-format off
#include <windows.h>
// clang-format on

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/,
                   LPSTR /*command_line*/, int /*show*/) {
  // First, before the run reads or loads anything: no dialog, and no DLL
  // from the patch directory or the current directory.
  (void)ks::HardenProcess();
  return ks::AfxWinMain(ks::ArgumentText(::GetCommandLineA()));
}
