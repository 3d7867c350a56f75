// The process entry on Windows: a windowless GUI program whose argument
// text comes from the raw command line.
#include "app/argument_text.h"
#include "app/winapp.h"
// clang-format off
#include <windows.h>
// clang-format on

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/,
                   LPSTR /*command_line*/, int /*show*/) {
  return ks::AfxWinMain(ks::ArgumentText(::GetCommandLineA()));
}
