// The profile store through the provider of the build, on real files: what
// the Linux and the Windows provider must do alike.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "tests/support/temp_prefix.h"

#ifdef _WIN32
// clang-format off
#include <windows.h>
// clang-format on
#else
#include <sys/stat.h>
#endif

namespace ks {
namespace {

// What tells a file from another one put in its place, and one version of
// it from the next: its file id and last-write time.
std::string Identity(const std::string& host) {
#ifdef _WIN32
  HANDLE file = CreateFileA(
      host.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!known) return "<unknown>";
  return std::to_string(info.nFileIndexHigh) + ":" +
         std::to_string(info.nFileIndexLow) + " written " +
         std::to_string(info.ftLastWriteTime.dwHighDateTime) + ":" +
         std::to_string(info.ftLastWriteTime.dwLowDateTime);
#else
  struct stat st {};
  if (lstat(host.c_str(), &st) != 0) return "<missing>";
  return std::to_string(st.st_ino) + " written " +
         std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
#endif
}

const char kClientVer[] = "[modules]\r\na.dll=1\r\n";

TEST(ProfileStore, AWriteThatChangesNothingTouchesNothing) {
  TempPrefix prefix;
  prefix.Write("store1/client.ver", kClientVer);
  prefix.Write("store1/read_only.ver", kClientVer, 0444);
  const std::string host = prefix.Host("store1/client.ver");
  const char file[] = "C:\\store1\\client.ver";
  Platform* os = DefaultPlatform();
  const std::string before = Identity(host);
  EXPECT_EQ(os->WritePrivateProfileStringA("modules", "a.dll", "1", file),
            TRUE);
  EXPECT_EQ(os->WritePrivateProfileStringA("modules", "b.dll", nullptr, file),
            TRUE);
  EXPECT_EQ(os->WritePrivateProfileStringA("other", nullptr, nullptr, file),
            TRUE);
  EXPECT_EQ(Identity(host), before);
  EXPECT_EQ(prefix.Read("store1/client.ver"), kClientVer);
  // A change does replace the file: the identity tells.
  EXPECT_EQ(os->WritePrivateProfileStringA("modules", "a.dll", "2", file),
            TRUE);
  EXPECT_NE(Identity(host), before);
  // A read-only file refuses even a write that would change nothing.
  EXPECT_EQ(os->WritePrivateProfileStringA("modules", "a.dll", "1",
                                           "C:\\store1\\read_only.ver"),
            FALSE);
}

TEST(ProfileStore, DeletingFromAMissingFileCreatesNone) {
  TempPrefix prefix;
  prefix.MakeDir("store2");
  const char file[] = "C:\\store2\\client.ver";
  Platform* os = DefaultPlatform();
  EXPECT_EQ(os->WritePrivateProfileStringA("modules", "a.dll", nullptr, file),
            TRUE);
  EXPECT_EQ(os->WritePrivateProfileStringA("modules", nullptr, nullptr, file),
            TRUE);
  EXPECT_FALSE(prefix.Exists("store2/client.ver"));
}

}  // namespace
}  // namespace ks
