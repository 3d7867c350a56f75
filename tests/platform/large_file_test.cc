// Files just past 2 GiB and 4 GiB, where a size or count held in 32 bits
// (the 32-bit build's size_t and long, a 32-bit off_t) goes negative or
// wraps, through this build's own provider. The files are sparse: they
// cost no disk, only the time to read (and, for the copy, write) them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tests/support/temp_prefix.h"
// Our own declarations first, so that <windows.h>'s macros cannot touch them.
#ifdef _WIN32
// clang-format off
#include <windows.h>
// clang-format on
#else
#include <unistd.h>
#endif

namespace ks {
namespace {

constexpr std::uint64_t k2GiBAndOne = (std::uint64_t{1} << 31) + 1;
constexpr std::uint64_t k4GiBAndOne = (std::uint64_t{1} << 32) + 1;

// A file of `size` zero bytes, without writing them.
void MakeSparse(const std::string& host, std::uint64_t size) {
#ifdef _WIN32
  HANDLE file = CreateFileA(host.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << host;
  ::DWORD ignored = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored,
                  nullptr);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool sized =
      SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  ASSERT_TRUE(sized) << host;
#else
  ASSERT_EQ(truncate(host.c_str(), static_cast<off_t>(size)), 0) << host;
#endif
}

class LargeFileTest : public ::testing::Test {
 protected:
  LargeFileTest() {
    prefix_.MakeDir("Patch");
    prefix_.MakeDir("Client/bin");
  }
  // An empty file at `relative` (under C:), made `size` bytes long.
  void Put(const std::string& relative, std::uint64_t size) {
    prefix_.Write(relative, "");
    MakeSparse(prefix_.Host(relative), size);
  }

  Platform* os_ = DefaultPlatform();
  TempPrefix prefix_;
};

// A manifest, a signature and a profile past either end are refused
// before they are read, never taken for small ones.
TEST_F(LargeFileTest, BoundedReadsRefuseThemUnread) {
  for (const std::uint64_t size : {k2GiBAndOne, k4GiBAndOne}) {
    SCOPED_TRACE(size);
    Put("Patch/ksmodules.ver", size);
    Put("Patch/ksmodules.ver.sig", size);
    std::string contents = "left";
    EXPECT_EQ(os_->LoadProfileFile("C:\\Patch\\ksmodules.ver", &contents),
              ProfileLoad::kTooLarge);
    EXPECT_EQ(contents, "");
    contents = "left";
    EXPECT_EQ(
        os_->ReadFileBytes("C:\\Patch\\ksmodules.ver.sig", 256, &contents),
        ProfileLoad::kTooLarge);
    EXPECT_EQ(contents, "");
    char value[16] = "";
    EXPECT_EQ(
        os_->GetPrivateProfileStringA("modules", "a.dll", "none", value,
                                      sizeof value, "C:\\Patch\\ksmodules.ver"),
        4u);
    EXPECT_STREQ(value, "none");
  }
}

// Every byte is hashed, and copied: a count that wrapped or went negative
// would hash or copy another file, and the checksum would refuse it.
TEST_F(LargeFileTest, HashAndCopyCountEveryByte) {
  Sha256Digest digest;
  Put("Patch/a.dll", k2GiBAndOne);
  ASSERT_TRUE(os_->HashFile("C:\\Patch\\a.dll", &digest, nullptr));
  EXPECT_EQ(Sha256Hex(digest),
            "b8030a8ab89280935633d8d991da3d9907c0f12e8b6fc3bfc515f4d440872b6e");
  // The copy hashes as it writes: the checksum checks its count.
  Put("Patch/b.dll", k4GiBAndOne);
  ExpectedBytes expected;
  expected.size = k4GiBAndOne;
  ASSERT_TRUE(ParseSha256(
      "fbb82f7b353676bb562eb82157fcf0ea42c36492ca13ee56dbf82c08b6802c5c",
      &expected.sha256.emplace()));
  CopyReport report;
  EXPECT_TRUE(os_->CopyFileA("C:\\Patch\\b.dll", "C:\\Client\\bin\\b.dll",
                             FALSE, &expected, &report));
  EXPECT_EQ(report.problem, CopyReport::Problem::kNone);
  std::error_code error;
  EXPECT_EQ(std::filesystem::file_size(prefix_.Host("Client/bin/b.dll"), error),
            k4GiBAndOne);
}

// A module of another size than its patch vouches for is refused at once,
// however large: nothing of it lands in bin. Sizes that agree only in their
// low 32 bits are other sizes.
TEST_F(LargeFileTest, SizeOtherThanVouchedIsRefusedUnread) {
  constexpr std::uint64_t k6GiB = std::uint64_t{6} << 30;
  Put("Patch/a.dll", k6GiB);
  Put("Patch/b.dll", k4GiBAndOne);
  struct Case {
    const char* source;
    std::uint64_t size;
  };
  for (const Case& c :
       {Case{"C:\\Patch\\a.dll", 65536}, Case{"C:\\Patch\\a.dll", k6GiB - 1},
        Case{"C:\\Patch\\a.dll", k6GiB + 1}, Case{"C:\\Patch\\b.dll", 1}}) {
    SCOPED_TRACE(std::string(c.source) + " " + std::to_string(c.size));
    ExpectedBytes expected;
    expected.size = c.size;
    CopyReport report;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(os_->CopyFileA(c.source, "C:\\Client\\bin\\a.dll", FALSE,
                                &expected, &report));
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(1));
    EXPECT_EQ(report.problem, CopyReport::Problem::kSizeMismatch);
    std::error_code error;
    EXPECT_TRUE(std::filesystem::is_empty(prefix_.Host("Client/bin"), error));
  }
}

}  // namespace
}  // namespace ks
