// Starts a program with an exact raw command line and waits for it, so that
// a test controls every byte that the program's GetCommandLineA returns.
//
//   launch [--stalled-debug-listener] PROGRAM COMMAND-LINE-FILE
//
// The file's bytes, up to its end, are the command line. Exits with the
// program's exit status, or 255 when it could not be started. With
// --stalled-debug-listener, a debug-output listener that never takes a line
// is there while the program runs: the named buffer and events that
// OutputDebugStringA looks for, the buffer never marked ready.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  bool stalled =
      argc == 4 && std::string(argv[1]) == "--stalled-debug-listener";
  if (stalled) {
    CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
    CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                       "DBWIN_BUFFER");
    ++argv;
    --argc;
  }
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: launch [--stalled-debug-listener] PROGRAM "
                 "COMMAND-LINE-FILE\n");
    return 255;
  }
  std::FILE* file = std::fopen(argv[2], "rb");
  if (file == nullptr) return 255;
  std::string line;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    line += static_cast<char>(c);
  }
  std::fclose(file);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(argv[1], line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    std::fprintf(stderr, "launch: cannot start %s (error %lu)\n", argv[1],
                 GetLastError());
    return 255;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 255;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
