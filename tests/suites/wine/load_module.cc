// Loads a module in a process of its own and answers its version:
//
//   load_module PATH
//
// Exits with what the module's ModuleVersion returns, or 255 when the
// module cannot be loaded or has no such function.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 2) return 255;
  HMODULE module = LoadLibraryA(argv[1]);
  if (module == nullptr) return 255;
  auto version = reinterpret_cast<int (*)()>(
      reinterpret_cast<void*>(GetProcAddress(module, "ModuleVersion")));
  return version != nullptr ? version() : 255;
}
