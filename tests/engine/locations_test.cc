#include "engine/locations.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/hooked_platform.h"

namespace ks {
namespace {

std::string SourceDirOf(const std::string& base) {
  return Locations(base).GetSourceDir();
}

std::string ManifestOf(const std::string& base) {
  return Locations(base).GetSourceManifestPath();
}

TEST(GetSourceDir, CutsAtTheLastBackslash) {
  EXPECT_EQ(SourceDirOf("D:\\Patch\\setup.exe"), "D:\\Patch");
  EXPECT_EQ(ManifestOf("D:\\Patch\\setup.exe"), "D:\\Patch\\ksmodules.ver");
  EXPECT_EQ(SourceDirOf("D:\\Patch\\"), "D:\\Patch");
  EXPECT_EQ(SourceDirOf("D:\\setup.exe"), "D:");
  EXPECT_EQ(ManifestOf("D:\\setup.exe"), "D:\\ksmodules.ver");
  EXPECT_EQ(SourceDirOf("\\setup.exe"), "");
  EXPECT_EQ(ManifestOf("\\setup.exe"), "\\ksmodules.ver");
}

TEST(GetSourceDir, WithoutBackslashKeepsEverything) {
  EXPECT_EQ(SourceDirOf("setup.exe"), "setup.exe");
  EXPECT_EQ(ManifestOf("setup.exe"), "setup.exe\\ksmodules.ver");
  // The forward slash is no separator here.
  EXPECT_EQ(SourceDirOf("D:/Patch/setup.exe"), "D:/Patch/setup.exe");
  EXPECT_EQ(SourceDirOf(""), "");
  EXPECT_EQ(ManifestOf(""), "\\ksmodules.ver");
  // Quotes and blanks are not trimmed.
  EXPECT_EQ(SourceDirOf("\"D:\\P q\\s.exe\" "), "\"D:\\P q");
}

TEST(GetInstallBinDir, AppendsBinOnce) {
  HookedPlatform platform;
  AnswerRegistryValue(&platform, "D:\\Client");
  EXPECT_EQ(Locations::GetInstallBinDir(platform), "D:\\Client\\bin");
  EXPECT_EQ(Locations::GetInstalledManifestPath(platform),
            "D:\\Client\\bin\\client.ver");
  AnswerRegistryValue(&platform, "D:\\Client\\");
  EXPECT_EQ(Locations::GetInstallBinDir(platform), "D:\\Client\\bin");
  AnswerRegistryValue(&platform, "D:\\");
  EXPECT_EQ(Locations::GetInstallBinDir(platform), "D:\\bin");
}

TEST(GetInstallBinDir, MissingOrEmptyValueGivesNoDirectory) {
  HookedPlatform platform;
  AnswerRegistryValue(&platform, "", /*present=*/false);
  EXPECT_EQ(Locations::GetInstallBinDir(platform), "");
  EXPECT_EQ(Locations::GetInstalledManifestPath(platform), "\\client.ver");
  AnswerRegistryValue(&platform, "");
  EXPECT_EQ(Locations::GetInstallBinDir(platform), "");
  platform.hook.RegOpenKeyExA = [](HKEY, LPCSTR, DWORD, REGSAM, PHKEY) {
    return ERROR_ACCESS_DENIED;
  };
  EXPECT_EQ(Locations::GetInstallBinDir(platform), "");
  // Three reads opened the key; the one that failed to open it neither
  // queried nor closed it.
  EXPECT_EQ(platform.calls(Op::kRegOpenKeyExA), 4);
  EXPECT_EQ(platform.calls(Op::kRegQueryValueExA), 3);
  EXPECT_EQ(platform.calls(Op::kRegCloseKey), 3);
}

TEST(ReadRegistryString, ReadsValuesOfAnyLengthWhole) {
  HookedPlatform platform;
  for (size_t length : {1u, 48u, 49u, 50u, 51u, 200u, 5000u}) {
    std::string value(length, 'p');
    value.front() = 'C';
    value.back() = 'z';
    AnswerRegistryValue(&platform, value);
    EXPECT_EQ(ReadRegistryString(platform, HKEY_LOCAL_MACHINE, kRegistryKeyPath,
                                 kRegistryValueName),
              value)
        << "length " << length;
  }
  std::string path = "C:\\Program Files (x86)\\Kestrova\\Plennet Groupware 6.5";
  AnswerRegistryValue(&platform, path);
  EXPECT_EQ(Locations::GetInstallBinDir(platform), path + "\\bin");
}

TEST(ReadRegistryString, AsksForTheValueAndClosesTheKey) {
  HookedPlatform platform;
  std::string key_asked;
  std::string value_asked;
  REGSAM access = 0;
  platform.hook.RegOpenKeyExA = [&](HKEY root, LPCSTR key, DWORD options,
                                    REGSAM sam, PHKEY result) {
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(options, 0u);
    key_asked = key;
    access = sam;
    *result = PredefinedKey(0x4321);
    return ERROR_SUCCESS;
  };
  platform.hook.RegQueryValueExA = [&](HKEY key, LPCSTR name, LPDWORD,
                                       LPDWORD type, LPBYTE data,
                                       LPDWORD size) -> LONG {
    EXPECT_EQ(key, PredefinedKey(0x4321));
    EXPECT_EQ(type, nullptr);
    EXPECT_EQ(*size, 50u);
    value_asked = name;
    // Data without a terminating zero that fills the whole buffer.
    for (DWORD i = 0; i < *size; ++i) data[i] = 'a';
    return ERROR_SUCCESS;
  };
  HKEY closed = nullptr;
  platform.hook.RegCloseKey = [&](HKEY key) {
    closed = key;
    return ERROR_SUCCESS;
  };
  EXPECT_EQ(Locations::GetInstallBinDir(platform),
            std::string(50, 'a') + "\\bin");
  EXPECT_EQ(key_asked, "SOFTWARE\\Kestrova\\Plennet Groupware 6.5");
  EXPECT_EQ(value_asked, "KestrovaDir32");
  EXPECT_EQ(access, KEY_READ);
  EXPECT_EQ(closed, PredefinedKey(0x4321));
}

TEST(ReadRegistryString, StopsAtTheFirstZeroAndOnFailure) {
  HookedPlatform platform;
  AnswerRegistryValue(&platform, std::string("C:\\A\0junk", 9));
  EXPECT_EQ(Locations::GetInstallBinDir(platform), "C:\\A\\bin");
  // A query that keeps asking for more than any path needs ends as missing.
  platform.hook.RegQueryValueExA = [](HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE,
                                      LPDWORD size) -> LONG {
    *size = 0xFFFFFFF0u;
    return ERROR_MORE_DATA;
  };
  EXPECT_EQ(Locations::GetInstallBinDir(platform), "");
}

}  // namespace
}  // namespace ks
