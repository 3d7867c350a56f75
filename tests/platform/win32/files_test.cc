// The Win32 provider's copy and profile write on real directories of drive
// C:. Where the provider must answer as the real API does, each case runs
// twice, once through the real call (the reference) and once through the
// provider, on two identical directories, and what each left is compared.
// Where the provider must do better (a target locked for a moment, a stale
// temporary file, a module in use, a write that must never leave client.ver
// empty), the test says what it must do; what the real call does there is
// printed for the record.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/winapp.h"
#include "engine/manifests.h"
#include "engine/module_list.h"
#include "engine/run_inputs.h"
#include "platform/platform.h"
#include "platform/win32/installation.h"
#include "tests/support/temp_prefix.h"
#include "trace/trace.h"
// clang-format off
#include <windows.h>
#include <sddl.h>
// clang-format on

namespace ks {
namespace {

// A path of its own for each case: the provider sweeps a directory of stale
// temporary files only at its first copy or write there.
std::string NewCaseDir() {
  static int cases = 0;
  return "case" + std::to_string(++cases);
}

std::string ReadBytes(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<unreadable>";
  std::string bytes;
  char buffer[4096];
  ::DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  CloseHandle(file);
  return bytes;
}

// Owner, group and DACL. Wine makes them from the file's mode bits, so a
// file that a rename put in place shows its own, not the one it replaced.
std::string Security(const std::string& path) {
  const SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION |
                                    GROUP_SECURITY_INFORMATION |
                                    DACL_SECURITY_INFORMATION;
  ::DWORD size = 0;
  GetFileSecurityA(path.c_str(), info, nullptr, 0, &size);
  std::vector<char> descriptor(size + 1);
  char* text = nullptr;
  if (!GetFileSecurityA(path.c_str(), info, descriptor.data(), size, &size) ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor.data(), SDDL_REVISION_1, info, &text, nullptr)) {
    return "<no descriptor>";
  }
  std::string sddl = text;
  LocalFree(text);
  return sddl;
}

// Every entry under `dir`: relative name -> attributes, security and bytes.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> entries;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return entries;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "\\" + name;
    std::string& entry = entries[name];
    entry = "attributes " + std::to_string(found.dwFileAttributes) + ", " +
            Security(path);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      for (const auto& [sub, what] : Snapshot(path)) {
        entries[name + "\\" + sub] = what;
      }
    } else {
      entry += ", bytes " + ReadBytes(path);
    }
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return entries;
}

// The entries under `dir` that have the name of one of our temporary files.
std::vector<std::string> TempFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& [name, what] : Snapshot(dir)) {
    if (name.find(".ksupdate-") != std::string::npos) names.push_back(name);
  }
  return names;
}

void SetAttributes(const TempPrefix& prefix, const std::string& relative,
                   ::DWORD attributes) {
  ASSERT_TRUE(::SetFileAttributesA(prefix.Host(relative).c_str(), attributes))
      << relative;
}

// A DACL that gives everyone write access, which no new file gets.
void GiveEveryoneWrite(const TempPrefix& prefix, const std::string& relative) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "D:(A;;FA;;;SY)(A;;FA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
  EXPECT_TRUE(SetFileSecurityA(prefix.Host(relative).c_str(),
                               DACL_SECURITY_INFORMATION, descriptor));
  LocalFree(descriptor);
}

// The section names and entries that a profile file reads back through the
// real API: Wine rewrites a whole file where the provider keeps its bytes,
// so written files are compared by what they say.
std::string ReadBack(const std::string& file) {
  std::vector<char> names(1 << 16);
  std::vector<char> entries(1 << 20);
  GetPrivateProfileSectionNamesA(names.data(), names.size(), file.c_str());
  std::string said;
  for (const char* name = names.data(); *name != '\0';
       name += std::strlen(name) + 1) {
    const ::DWORD n = GetPrivateProfileSectionA(name, entries.data(),
                                                entries.size(), file.c_str());
    said += std::string("[") + name + "]" + std::string(entries.data(), n);
  }
  return said;
}

using Lay = std::function<void(const TempPrefix&, const std::string&)>;

// One case on two identical directories: `operation` runs with the real
// API in one and through the provider in the other, given the directory's
// host path. Both must succeed or fail alike and leave the same files; the
// profile file `profile` (relative to the directory) is compared by what
// it reads back.
void ExpectSameAsReference(
    const std::string& what, const Lay& lay,
    const std::function<bool(bool real, const std::string& dir)>& operation,
    const char* profile = nullptr) {
  SCOPED_TRACE(what);
  TempPrefix prefix;
  const std::string name = NewCaseDir();
  bool ok[2];
  std::map<std::string, std::string> left[2];
  for (bool real : {true, false}) {
    const std::string dir = name + (real ? "/reference" : "/provider");
    lay(prefix, dir);
    const std::string host = prefix.Host(dir);
    SetLastError(0);
    ok[real] = operation(real, host);
    if (real) {
      std::printf("reference, %s: %s, error %lu\n", what.c_str(),
                  ok[real] ? "succeeds" : "fails", GetLastError());
    }
    left[real] = Snapshot(host);
    auto file =
        profile != nullptr ? left[real].find(profile) : left[real].end();
    if (file != left[real].end()) {
      file->second = file->second.substr(0, file->second.find(", bytes ")) +
                     ", reads " + ReadBack(host + "\\" + profile);
    }
  }
  EXPECT_EQ(ok[false], ok[true]);
  EXPECT_EQ(left[false], left[true]);
}

bool Copy(bool real, const std::string& dir, const char* target) {
  const std::string source = dir + "\\patch.dll";
  const std::string to = dir + "\\" + target;
  return real ? ::CopyFileA(source.c_str(), to.c_str(), FALSE)
              : DefaultPlatform()->CopyFileA(source.c_str(), to.c_str(), FALSE);
}

bool Write(bool real, const std::string& file, const char* section,
           const char* key, const char* value) {
  return real ? ::WritePrivateProfileStringA(section, key, value, file.c_str())
              : DefaultPlatform()->WritePrivateProfileStringA(
                    section, key, value, file.c_str());
}

TEST(Win32Copy, AnswersAsCopyFileADoes) {
  const auto patch = [](const TempPrefix& p, const std::string& d) {
    p.Write(d + "/patch.dll", "new");
  };
  const auto hidden_source = [](const TempPrefix& p, const std::string& d) {
    p.Write(d + "/patch.dll", "new");
    SetAttributes(p, d + "/patch.dll",
                  FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  };
  const struct {
    const char* what;
    const char* target;
    Lay lay;
  } cases[] = {
      {"a plain target", "bin\\a.dll",
       [&](const TempPrefix& p, const std::string& d) {
         patch(p, d);
         p.Write(d + "/bin/a.dll", "old");
       }},
      {"a new file", "bin\\a.dll",
       [&](const TempPrefix& p, const std::string& d) {
         patch(p, d);
         p.MakeDir(d + "/bin");
       }},
      {"a read-only target", "bin\\a.dll",
       [&](const TempPrefix& p, const std::string& d) {
         patch(p, d);
         p.Write(d + "/bin/a.dll", "old", 0444);
       }},
      {"a missing source", "bin\\a.dll",
       [](const TempPrefix& p, const std::string& d) {
         p.Write(d + "/bin/a.dll", "old");
       }},
      {"a directory target", "bin\\a.dll",
       [&](const TempPrefix& p, const std::string& d) {
         patch(p, d);
         p.MakeDir(d + "/bin/a.dll");
       }},
      {"a missing target directory", "bin\\none\\a.dll",
       [&](const TempPrefix& p, const std::string& d) {
         patch(p, d);
         p.MakeDir(d + "/bin");
       }},
      {"a read-only hidden source, new file", "bin\\a.dll",
       [&](const TempPrefix& p, const std::string& d) {
         hidden_source(p, d);
         p.MakeDir(d + "/bin");
       }},
      {"a target with its own security descriptor", "bin\\a.dll",
       [&](const TempPrefix& p, const std::string& d) {
         patch(p, d);
         p.Write(d + "/bin/a.dll", "old");
         GiveEveryoneWrite(p, d + "/bin/a.dll");
       }},
  };
  for (const auto& c : cases) {
    ExpectSameAsReference(std::string("CopyFileA, ") + c.what, c.lay,
                          [&](bool real, const std::string& dir) {
                            return Copy(real, dir, c.target);
                          });
  }
}

// Where Wine's CopyFileA and Windows' differ, the provider answers as
// Windows does. Windows opens the target with CREATE_ALWAYS and the
// source's attributes: that fails with ERROR_ACCESS_DENIED on a hidden or
// system file (CreateFile's documentation; CopyFile's says the same of a
// hidden or read-only target), and otherwise gives the replaced file the
// source's attributes, as a new one gets them. Wine's overwrites a hidden
// target, and keeps a replaced file's own attributes.
TEST(Win32Copy, AnswersAsWindowsWhereWineDiffers) {
  TempPrefix prefix;
  const std::string dir = NewCaseDir();
  prefix.Write(dir + "/patch.dll", "new");
  for (const char* name : {"a.dll", "reference.dll"}) {
    prefix.Write(dir + "/bin/" + name, "old");
    SetAttributes(prefix, dir + "/bin/" + name, FILE_ATTRIBUTE_HIDDEN);
  }
  SetLastError(0);
  const BOOL copied = Copy(true, prefix.Host(dir), "bin\\reference.dll");
  std::printf("reference, CopyFileA, a hidden target: %d, error %lu\n", copied,
              GetLastError());
  EXPECT_FALSE(Copy(false, prefix.Host(dir), "bin\\a.dll"));
  EXPECT_EQ(prefix.Read(dir + "/bin/a.dll"), "old");
  EXPECT_EQ(TempFiles(prefix.Host(dir)), std::vector<std::string>());

  prefix.Write(dir + "/bin/b.dll", "old");
  SetAttributes(prefix, dir + "/patch.dll", FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(Copy(false, prefix.Host(dir), "bin\\b.dll"));
  EXPECT_EQ(prefix.Read(dir + "/bin/b.dll"), "new");
  EXPECT_EQ(GetFileAttributesA(prefix.Host(dir + "/bin/b.dll").c_str()) &
                FILE_ATTRIBUTE_READONLY,
            static_cast<::DWORD>(FILE_ATTRIBUTE_READONLY));
}

const char kClientVer[] =
    "; installed modules\r\n[modules]\r\na.dll=1\r\nb.dll=2\r\n\r\n"
    "[other]\r\nk=v\r\n";

TEST(Win32Write, AnswersAsWritePrivateProfileStringADoes) {
  const auto installed = [](const TempPrefix& p, const std::string& d) {
    p.Write(d + "/bin/client.ver", kClientVer);
  };
  const auto set_a = [](bool real, const std::string& dir) {
    return Write(real, dir + "\\bin\\client.ver", "modules", "a.dll", "5");
  };
  const struct {
    const char* what;
    Lay lay;
    std::function<bool(bool, const std::string&)> operation;
  } cases[] = {
      {"a value among other sections", installed, set_a},
      {"a new key and a new section", installed,
       [](bool real, const std::string& dir) {
         const std::string file = dir + "\\bin\\client.ver";
         return Write(real, file, "modules", "c.dll", "0000000007") &&
                Write(real, file, "new", "x", "y");
       }},
      {"a missing file",
       [](const TempPrefix& p, const std::string& d) { p.MakeDir(d + "/bin"); },
       set_a},
      {"a missing directory",
       [](const TempPrefix& p, const std::string& d) { p.MakeDir(d); }, set_a},
      {"a directory named client.ver",
       [](const TempPrefix& p, const std::string& d) {
         p.MakeDir(d + "/bin/client.ver");
       },
       set_a},
      {"a read-only client.ver",
       [](const TempPrefix& p, const std::string& d) {
         p.Write(d + "/bin/client.ver", kClientVer, 0444);
       },
       set_a},
      {"a hidden client.ver",
       [&](const TempPrefix& p, const std::string& d) {
         installed(p, d);
         SetAttributes(p, d + "/bin/client.ver", FILE_ATTRIBUTE_HIDDEN);
       },
       set_a},
      {"a client.ver with its own security descriptor",
       [&](const TempPrefix& p, const std::string& d) {
         installed(p, d);
         GiveEveryoneWrite(p, d + "/bin/client.ver");
       },
       set_a},
  };
  for (const auto& c : cases) {
    ExpectSameAsReference(std::string("WritePrivateProfileStringA, ") + c.what,
                          c.lay, c.operation, "bin\\client.ver");
  }
}

TEST(Win32Files, FirstCopyAndWriteInADirectoryRemoveStaleTemporaryFiles) {
  TempPrefix prefix;
  const std::string dir = NewCaseDir();
  prefix.Write(dir + "/patch.dll", "new");
  prefix.Write(dir + "/bin/.ksupdate-x", "left by a killed run");
  prefix.Write(dir + "/bin/.ksupdate-ro", "set aside", 0444);
  prefix.Write(dir + "/ver/client.ver", kClientVer);
  prefix.Write(dir + "/ver/.ksupdate-y", "left by a killed run");
  // Named like ours, but no file of ours: a directory, and a second name of
  // a file that someone else keeps. Only plain files with one link go.
  prefix.MakeDir(dir + "/bin/.ksupdate-dir");
  prefix.Write(dir + "/keep.txt", "someone else's", 0444);
  const std::string host = prefix.Host(dir);
  ASSERT_TRUE(CreateHardLinkA((host + "\\bin\\.ksupdate-linked").c_str(),
                              (host + "\\keep.txt").c_str(), nullptr));
  EXPECT_TRUE(Copy(false, host, "bin\\a.dll"));
  EXPECT_TRUE(
      Write(false, host + "\\ver\\client.ver", "modules", "a.dll", "5"));
  EXPECT_EQ(TempFiles(host),
            (std::vector<std::string>{"bin\\.ksupdate-dir",
                                      "bin\\.ksupdate-linked"}));
  EXPECT_EQ(prefix.Read(dir + "/bin/a.dll"), "new");
  EXPECT_EQ(prefix.Read(dir + "/keep.txt"), "someone else's");
  EXPECT_NE(::GetFileAttributesA((host + "\\keep.txt").c_str()) &
                FILE_ATTRIBUTE_READONLY,
            0u);
}

// A patch file that another process has open for writing (a copy into the
// patch still going on) is no version of the module: the copy fails and
// says why, and the target stays as it was. Sharing modes are checked per
// handle, so a handle of this process stands for that other process.
TEST(Win32Files, SourceOpenForWritingIsNotCopied) {
  TempPrefix prefix;
  const std::string dir = NewCaseDir();
  prefix.Write(dir + "/patch.dll", "half");
  prefix.Write(dir + "/bin/a.dll", "old");
  const std::string source = prefix.Host(dir + "/patch.dll");
  const std::string target = prefix.Host(dir + "/bin/a.dll");
  HANDLE writer = CreateFileA(source.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  CopyReport report;
  EXPECT_FALSE(DefaultPlatform()->CopyFileA(source.c_str(), target.c_str(),
                                            FALSE, nullptr, &report));
  EXPECT_EQ(report.problem, CopyReport::Problem::kSourceChanged);
  CloseHandle(writer);
  EXPECT_EQ(prefix.Read(dir + "/bin/a.dll"), "old");
  EXPECT_EQ(TempFiles(prefix.Host(dir)), std::vector<std::string>());
  // Once the writer is done, the copy goes through.
  EXPECT_TRUE(DefaultPlatform()->CopyFileA(source.c_str(), target.c_str(),
                                           FALSE, nullptr, &report));
  EXPECT_EQ(prefix.Read(dir + "/bin/a.dll"), "half");
}

// Runs `body` on a thread of its own; the thread is joined when the object
// ends.
class Thread {
 public:
  explicit Thread(std::function<void()> body)
      : body_(std::move(body)),
        handle_(CreateThread(nullptr, 0, &Run, this, 0, nullptr)) {}
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread() {
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
  }

 private:
  static ::DWORD WINAPI Run(void* self) {
    static_cast<Thread*>(self)->body_();
    return 0;
  }

  std::function<void()> body_;
  HANDLE handle_;
};

// Opens a file with share mode 0, as a virus scanner may for a moment.
HANDLE Lock(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

TEST(Win32Files, ALockOfAMomentIsWaitedOut) {
  TempPrefix prefix;
  const std::string dir = NewCaseDir();
  const std::string bin = prefix.Host(dir + "/bin") + "\\";
  prefix.Write(dir + "/patch.dll", "new");
  prefix.Write(dir + "/bin/a.dll", "old");
  prefix.Write(dir + "/bin/client.ver", kClientVer);
  for (const char* name : {"a.dll", "client.ver"}) {
    SCOPED_TRACE(name);
    const bool copy = std::string(name) == "a.dll";
    const auto replace = [&](bool real) {
      return copy ? Copy(real, prefix.Host(dir), "bin\\a.dll")
                  : Write(real, bin + name, "modules", "a.dll", "5");
    };
    HANDLE lock = Lock(bin + name);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    SetLastError(0);
    const bool real = replace(true);
    std::printf("reference, %s, a locked target: %d, error %lu\n",
                copy ? "CopyFileA" : "WritePrivateProfileStringA", real,
                GetLastError());
    Thread release([lock] {
      Sleep(100);
      CloseHandle(lock);
    });
    EXPECT_TRUE(replace(false));
  }
  EXPECT_EQ(prefix.Read(dir + "/bin/a.dll"), "new");
  std::string written = kClientVer;
  written.replace(written.find("a.dll=1"), 7, "a.dll=5");
  EXPECT_EQ(prefix.Read(dir + "/bin/client.ver"), written);
  EXPECT_EQ(TempFiles(prefix.Host(dir)), std::vector<std::string>());
}

TEST(Win32Files, ALockThatStaysFailsSoonAndChangesNothing) {
  TempPrefix prefix;
  prefix.SetInstallDir("C:\\Client");
  prefix.Write("Patch/ksmodules.ver", "[modules]\r\na.dll=5\r\n");
  prefix.Write("Patch/a.dll", "new");
  prefix.Write("Client/bin/a.dll", "old");
  prefix.Write("Client/bin/client.ver", kClientVer);
  const RunInputs inputs("C:\\Patch\\setup.exe");
  const PatchManifest manifest(*DefaultPlatform(), "C:\\Patch\\ksmodules.ver");
  CModuleList list(*DefaultPlatform(), inputs, manifest, nullptr);
  TraceLog.ResetForTesting();
  HANDLE lock = Lock(prefix.Host("Client/bin/a.dll"));
  EXPECT_NE(lock, INVALID_HANDLE_VALUE);
  ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(list.UpdateModule("a.dll"));
  EXPECT_LT(GetTickCount64() - start, 1000u);
  CloseHandle(lock);
  ASSERT_GT(TraceLog.count(), 0u);
  EXPECT_EQ(TraceLog.lines().back(), "    - Copy Failure -");
  EXPECT_EQ(prefix.Read("Client/bin/a.dll"), "old");

  lock = Lock(prefix.Host("Client/bin/client.ver"));
  EXPECT_NE(lock, INVALID_HANDLE_VALUE);
  start = GetTickCount64();
  EXPECT_FALSE(Write(false, prefix.Host("Client/bin/client.ver"), "modules",
                     "a.dll", "5"));
  EXPECT_LT(GetTickCount64() - start, 1000u);
  CloseHandle(lock);
  EXPECT_EQ(prefix.Read("Client/bin/client.ver"), kClientVer);
  EXPECT_EQ(TempFiles(prefix.Host("Client")), std::vector<std::string>());
  TraceLog.ResetForTesting();
}

// Another thread looks at client.ver's size during 100 writes: it must
// never be missing, empty or of another size. Under Wine a look opens no
// handle that could stand in the way of a rename (Windows opens the file
// for a moment, as a scanner does).
TEST(Win32Write, ClientVerIsNeverSeenEmptyOrCut) {
  TempPrefix prefix;
  const std::string dir = NewCaseDir();
  std::string contents = "[modules]\r\n";
  for (int i = 0; i < 2000; ++i) {
    contents += "m" + std::to_string(10000 + i) + ".dll=0000000001\r\n";
  }
  contents += "[other]\r\nk=v\r\n";
  for (bool real : {true, false}) {
    const std::string name = dir + (real ? "/reference.ver" : "/client.ver");
    prefix.Write(name, contents);
    const std::string file = prefix.Host(name);
    std::atomic<bool> stop{false};
    int looks = 0, missing = 0, empty = 0, other_size = 0, failed = 0;
    {
      Thread watcher([&] {
        for (; !stop; ++looks) {
          WIN32_FILE_ATTRIBUTE_DATA data;
          if (!GetFileAttributesExA(file.c_str(), GetFileExInfoStandard,
                                    &data)) {
            ++missing;
          } else {
            empty += data.nFileSizeLow == 0;
            other_size += data.nFileSizeLow != contents.size();
          }
        }
      });
      for (int i = 0; i < 100; ++i) {
        failed += !Write(real, file, "modules", "m11000.dll",
                         i % 2 == 0 ? "0000000002" : "0000000001");
      }
      stop = true;
    }
    if (real) {
      std::printf(
          "reference, 100 writes of a %zu-byte client.ver: %d failed; "
          "%d looks, %d missing, %d empty, %d of another size\n",
          contents.size(), failed, looks, missing, empty, other_size);
      continue;
    }
    EXPECT_EQ(failed, 0);
    EXPECT_GT(looks, 0);
    EXPECT_EQ(missing + empty + other_size, 0)
        << missing << " missing, " << empty << " empty, of " << looks;
    EXPECT_EQ(prefix.Read(name), contents);
  }
}

// The directory of this test program, where the build puts the module's
// two versions and the program that loads it.
std::string ProgramDir() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir = path;
  return dir.substr(0, dir.rfind('\\') + 1);
}

// Runs a command line and answers its exit status, -1 when it did not end.
int RunProgram(std::string command_line) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  ::DWORD status = static_cast<::DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &status);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

TEST(Win32Copy, ReplacesAModuleInUse) {
  TempPrefix prefix;
  const std::string dir = NewCaseDir();
  prefix.MakeDir(dir + "/bin");
  const std::string target = prefix.Host(dir + "/bin/mod.dll");
  const std::string spare = prefix.Host(dir + "/spare.dll");
  const std::string v1 = ProgramDir() + "version_module_1.dll";
  const std::string v2 = ProgramDir() + "version_module_2.dll";
  ASSERT_TRUE(::CopyFileA(v1.c_str(), target.c_str(), TRUE));
  ASSERT_TRUE(::CopyFileA(v2.c_str(), spare.c_str(), TRUE));
  HMODULE module = LoadLibraryA(target.c_str());
  ASSERT_NE(module, nullptr);
  auto version = reinterpret_cast<int (*)()>(
      reinterpret_cast<void*>(GetProcAddress(module, "ModuleVersion")));
  ASSERT_NE(version, nullptr);
  ASSERT_EQ(version(), 1);

  // A module in use can be neither overwritten nor replaced.
  SetLastError(0);
  const BOOL copied = ::CopyFileA(v2.c_str(), target.c_str(), FALSE);
  const unsigned long copy_error = GetLastError();
  SetLastError(0);
  const BOOL moved =
      ::MoveFileExA(spare.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
  const unsigned long move_error = GetLastError();
  std::printf(
      "reference, a loaded module: CopyFileA %d, error %lu; "
      "MoveFileExA %d, error %lu\n",
      copied, copy_error, moved, move_error);
  ASSERT_FALSE(copied || moved) << "the module is not in use: nothing to test";

  CopyReport report;
  EXPECT_TRUE(DefaultPlatform()->CopyFileA(v2.c_str(), target.c_str(), FALSE,
                                           nullptr, &report));
  EXPECT_TRUE(report.moved_aside);
  // This process keeps the image it has; a new one loads the new file.
  EXPECT_EQ(version(), 1);
  EXPECT_TRUE(ReadBytes(target) == ReadBytes(v2)) << "mod.dll is not v2";
  EXPECT_EQ(
      RunProgram("\"" + ProgramDir() + "load_module.exe\" \"" + target + "\""),
      2);
  // The old file may stay set aside while it is loaded, under a temporary
  // name, for the next run to remove.
  std::vector<std::string> left = TempFiles(prefix.Host(dir + "/bin"));
  EXPECT_LE(left.size(), 1u);
  FreeLibrary(module);
}

// A whole run over a module in use, with msi exit codes and a result file:
// the module is replaced by moving the old one aside, which Windows
// Installer's code 3010 says (the client keeps the old image until it
// restarts), and the result file says it of that module.
TEST(Win32Run, AModuleInUseMakesARestartRequired) {
  TempPrefix prefix;
  prefix.SetInstallDir("C:\\Client");
  prefix.MakeDir("Client/bin");
  prefix.MakeDir("Patch");
  const std::string target = prefix.Host("Client/bin/mod.dll");
  ASSERT_TRUE(::CopyFileA((ProgramDir() + "version_module_1.dll").c_str(),
                          target.c_str(), TRUE));
  ASSERT_TRUE(::CopyFileA((ProgramDir() + "version_module_2.dll").c_str(),
                          prefix.Host("Patch/mod.dll").c_str(), TRUE));
  prefix.Write("Patch/ksmodules.ver", "[modules]\r\nmod.dll=2\r\n");
  prefix.Write("Client/bin/client.ver", "[modules]\r\nmod.dll=1\r\n");
  HMODULE module = LoadLibraryA(target.c_str());
  ASSERT_NE(module, nullptr);
  const std::string result = prefix.Host("result.json");
  _putenv_s("KSUPDATE_EXIT_CODES", "msi");
  _putenv_s("KSUPDATE_RESULT", result.c_str());
  const int status = AfxWinMain("C:\\Patch\\setup.exe");
  _putenv_s("KSUPDATE_EXIT_CODES", "");
  _putenv_s("KSUPDATE_RESULT", "");
  FreeLibrary(module);
  EXPECT_EQ(status, 3010);
  const std::string json = prefix.Read("result.json");
  EXPECT_NE(json.find("\"outcome\": \"restart required\""), std::string::npos)
      << json;
  EXPECT_NE(
      json.find("\"result\": \"copied\", \"error\": null, \"checksum\": null, "
                "\"moved_aside\": true"),
      std::string::npos)
      << json;
}

// The result file's refusals, as the Windows build makes them: a second
// hard link and a directory are refused; a missing directory fails.
TEST(Win32Files, ResultFileRefusesWhatIsNoFileOfItsOwn) {
  TempPrefix prefix;
  const std::string dir = NewCaseDir();
  prefix.Write(dir + "/other.txt", "someone else's");
  const std::string host = prefix.Host(dir);
  ASSERT_TRUE(CreateHardLinkA((host + "\\linked.json").c_str(),
                              (host + "\\other.txt").c_str(), nullptr));
  prefix.MakeDir(dir + "/dir.json");
  bool refused = false;
  for (const char* name : {"linked.json", "dir.json"}) {
    EXPECT_FALSE(DefaultPlatform()->WriteResultFile(
        (host + "\\" + name).c_str(), "{}", &refused));
    EXPECT_TRUE(refused) << name;
  }
  // Directories that are missing are made. (A reparse point on the way, and
  // a directory of another account's, are refused; but Wine follows a link
  // as a plain directory and keeps no owner it is given: not shown here.)
  EXPECT_TRUE(DefaultPlatform()->WriteResultFile(
      (host + "\\made\\logs\\r.json").c_str(), "{}", &refused));
  EXPECT_FALSE(refused);
  EXPECT_EQ(prefix.Read(dir + "/made/logs/r.json"), "{}");
  EXPECT_TRUE(DefaultPlatform()->WriteResultFile((host + "\\r.json").c_str(),
                                                 "{1}", &refused));
  EXPECT_TRUE(DefaultPlatform()->WriteResultFile((host + "\\r.json").c_str(),
                                                 "{2}", &refused));
  EXPECT_EQ(prefix.Read(dir + "/r.json"), "{2}");
  EXPECT_EQ(prefix.Read(dir + "/other.txt"), "someone else's");
  EXPECT_EQ(TempFiles(host), std::vector<std::string>());
}

// The lock file is no reader's to open: its DACL names only
// Administrators and SYSTEM (and the run's account when it is not
// elevated), for a new file and for one that an older run left with bin's.
// Wine shows a DACL made from the host file's mode, which then names the
// account for the owner's bits and Everyone for the others': so no
// Everyone is what it can show.
TEST(Win32Files, LockFileIsNoReadersToOpen) {
  TempPrefix prefix;
  const std::string dir = NewCaseDir();
  prefix.Write(dir + "/old/ksupdate.lock", "");
  prefix.MakeDir(dir + "/new");
  std::printf("elevated: %s\n", win32::IsElevated() ? "yes" : "no");
  std::vector<unsigned char> user = win32::ProcessUserSid();
  char* user_text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidA(user.data(), &user_text));
  const std::string account = user_text;
  LocalFree(user_text);
  for (const char* which : {"new", "old"}) {
    SCOPED_TRACE(which);
    const std::string path = prefix.Host(dir + "/" + which + "/ksupdate.lock");
    std::unique_ptr<InstallationLock> lock;
    ASSERT_EQ(DefaultPlatform()->LockInstallation(path.c_str(), 0, &lock),
              LockResult::kHeld);
    const std::string sddl = Security(path);
    std::string::size_type at = sddl.find("D:");
    ASSERT_NE(at, std::string::npos) << sddl;
    int entries = 0;
    while ((at = sddl.find("(A;", at)) != std::string::npos) {
      const std::string::size_type end = sddl.find(')', at);
      const std::string sid =
          sddl.substr(sddl.rfind(';', end) + 1, end - sddl.rfind(';', end) - 1);
      EXPECT_TRUE(sid == "BA" || sid == "SY" || sid == account) << sddl;
      ++entries;
      at = end;
    }
    EXPECT_GT(entries, 0) << sddl;
    lock.reset();
    // And the next run opens it again.
    ASSERT_EQ(DefaultPlatform()->LockInstallation(path.c_str(), 0, &lock),
              LockResult::kHeld);
  }
}

// While Windows Installer installs, it holds the mutex Global\_MSIExecute:
// the run waits for it as for another run's lock, and is not let in while
// it lasts. This test holds the mutex itself, as msiexec would.
TEST(Win32Files, LockWaitsWhileWindowsInstallerRuns) {
  TempPrefix prefix;
  prefix.MakeDir("bin");
  const std::string path = prefix.Host("bin/ksupdate.lock");
  HANDLE installer = CreateMutexA(nullptr, TRUE, "Global\\_MSIExecute");
  ASSERT_NE(installer, nullptr);
  ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS))
      << "Windows Installer is running here";
  std::unique_ptr<InstallationLock> lock;
  const DWORD start = GetTickCount();
  EXPECT_EQ(DefaultPlatform()->LockInstallation(path.c_str(), 300, &lock),
            LockResult::kInstallerBusy);
  EXPECT_GE(GetTickCount() - start, 300u);
  EXPECT_EQ(lock, nullptr);
  CloseHandle(installer);
  EXPECT_EQ(DefaultPlatform()->LockInstallation(path.c_str(), 0, &lock),
            LockResult::kHeld);
}

// What a run trusted it holds: while it goes on, bin and the installation
// directory cannot be renamed on Windows, so nobody can put another
// directory or a junction in their place (Wine does not keep a held
// directory from being renamed: printed for the record). The attributes of
// a file go through a handle of that file.
TEST(Win32Files, TrustedInstallationIsHeldWhileTheRunGoesOn) {
  TempPrefix prefix;
  prefix.Write("Client/bin/a.dll", "a", 0444);
  const std::string bin = prefix.Host("Client/bin");
  InstallationRefusal refused;
  ASSERT_TRUE(DefaultPlatform()->TrustInstallation(bin.c_str(), &refused));
  const std::string aside = prefix.Host("Client/old-bin");
  const BOOL moved = MoveFileA(bin.c_str(), aside.c_str());
  std::printf("bin renamed while held: %s (error %lu)\n", moved ? "yes" : "no",
              moved ? 0ul : GetLastError());
  if (moved) MoveFileA(aside.c_str(), bin.c_str());
  EXPECT_TRUE(DefaultPlatform()->SetFileAttributesA((bin + "\\a.dll").c_str(),
                                                    FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(
      GetFileAttributesA((bin + "\\a.dll").c_str()) & FILE_ATTRIBUTE_READONLY,
      0u);
  EXPECT_FALSE(DefaultPlatform()->SetFileAttributesA(
      (bin + "\\none.dll").c_str(), FILE_ATTRIBUTE_NORMAL));
  // Let go of it for the prefix's cleanup, as a run's end does.
  DefaultPlatform()->ReleaseDirectories();
}

}  // namespace
}  // namespace ks
