// The process entry, on every platform. On Windows too this is the
// entry's `main`: MinGW's start-up calls it for a windowless (-mwindows)
// program as for a console one, and the argument text is taken from the
// raw command line all the same.
#include "app/argument_text.h"
#include "app/winapp.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  // First, before the run reads or loads anything.
  ks::PrepareProcess();
  const char* raw = ks::RawCommandLine();
  return ks::AfxWinMain(raw != nullptr ? ks::ArgumentText(raw)
                                       : ks::JoinArguments(argc, argv));
}
