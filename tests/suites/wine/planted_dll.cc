// A DLL that does nothing: the test puts copies of it where a planted DLL
// would lie (beside the program, in the current directory) and checks that
// a hardened process does not load them.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/,
                    LPVOID /*reserved*/) {
  return TRUE;
}
