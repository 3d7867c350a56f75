// The process entry on Linux: the words of the command line, joined again
// into the one argument text.
#include "app/argument_text.h"
#include "app/winapp.h"

int main(int argc, char** argv) {
  return ks::AfxWinMain(ks::JoinArguments(argc, argv));
}
