#include "platform/posix/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>

#include "tests/support/registry_model.h"

namespace ks::posix {
namespace {

using namespace std::string_literals;  // NOLINT(build/namespaces)

const char kHeader[] =
    "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n";

// The value, or type 0xFFFFFFFF with "(missing)" when key or value is absent.
RegistryValue Get(const RegistryHive& hive, const std::string& key,
                  const std::string& name) {
  auto k = hive.keys.find(key);
  if (k != hive.keys.end()) {
    auto v = k->second.find(name);
    if (v != k->second.end()) return v->second;
  }
  return RegistryValue{0xFFFFFFFFu, "(missing)"};
}

RegistryValue Get(const RegistryFile& file, const std::string& key,
                  const std::string& name) {
  if (const RegistryValues* values = file.FindKey(key)) {
    auto v = values->find(name);
    if (v != values->end()) return v->second;
  }
  return RegistryValue{0xFFFFFFFFu, "(missing)"};
}

template <typename Registry>
void ExpectValue(const Registry& registry, const std::string& key,
                 const std::string& name, DWORD type, const std::string& data) {
  RegistryValue value = Get(registry, key, name);
  EXPECT_EQ(value.type, type) << key << " : " << name;
  EXPECT_EQ(value.data, data) << key << " : " << name;
}

TEST(ParseRegistryTest, NeedsTheHeaderAndReadsArch) {
  const std::string body = "[A]\n\"v\"=\"x\"\n";
  EXPECT_TRUE(ParseRegistry("").keys.empty());
  EXPECT_TRUE(ParseRegistry(body).keys.empty());
  EXPECT_TRUE(ParseRegistry("\n" + std::string(kHeader) + body).keys.empty());
  EXPECT_TRUE(ParseRegistry("WINE REGISTRY Version 1\n" + body).keys.empty());

  RegistryHive crlf = ParseRegistry(
      "WINE REGISTRY Version 2\r\n[A]\r\n"
      "\"v\"=\"x\"\r\n");
  ExpectValue(crlf, "A", "v", REG_SZ, "x\0"s);
  EXPECT_FALSE(crlf.win64);

  EXPECT_TRUE(ParseRegistry(kHeader + "#arch=win64\n"s + body).win64);
  EXPECT_FALSE(ParseRegistry(kHeader + "#arch=win32\n"s + body).win64);
}

TEST(ParseRegistryTest, KeysGetSingleBackslashesAndAllAncestors) {
  RegistryHive hive = ParseRegistry(kHeader +
                                    "[Software\\\\Kestrova\\\\Plennet 6.5] "
                                    "1700000000\n"
                                    "#time=1d9f00000000000\n"
                                    "\"Dir\"=\"C:\\\\Client\"\n"
                                    "[software\\\\KESTROVA\\\\plennet 6.5]\n"
                                    "\"Second\"=\"y\"\n"
                                    "\"dir\"=\"replaced\"\n"s);
  ASSERT_EQ(hive.keys.size(), 3u);
  EXPECT_TRUE(hive.keys.count("Software"));
  EXPECT_TRUE(hive.keys.count("SOFTWARE\\kestrova"));
  EXPECT_TRUE(hive.keys.at("Software\\Kestrova").empty());
  // A repeated section adds to the key; a repeated value replaces it.
  const auto& values = hive.keys.at("Software\\Kestrova\\Plennet 6.5");
  EXPECT_EQ(values.size(), 2u);
  ExpectValue(hive, "software\\kestrova\\PLENNET 6.5", "DIR", REG_SZ,
              "replaced\0"s);
  ExpectValue(hive, "Software\\Kestrova\\Plennet 6.5", "Second", REG_SZ,
              "y\0"s);
}

TEST(ParseRegistryTest, ValueForms) {
  RegistryHive hive =
      ParseRegistry(kHeader +
                    "[K]\n"
                    "@=\"default value\"\n"
                    "\"Expand\"=str(2):\"%ProgramFiles%\\\\x\"\n"
                    "\"MultiStr\"=str(7):\"a\\0b\"\n"
                    "\"Bin\"=hex:01,02,ff\n"
                    "\"Empty\"=hex:\n"
                    "\"Multi\"=hex(7):41,00,00,00,00,00\n"
                    "\"Wide\"=hex(2):25,00,e9,00,ac,20,00,00\n"
                    "\"Odd\"=hex(1):41,00,42\n"
                    "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\n"
                    "\"Num\"=dword:0000002a\n"
                    "\"Big\"=dword:FFFFfffe\n"
                    "\"Raw\"=str(3):\"A\"\n"s);
  ExpectValue(hive, "K", "", REG_SZ, "default value\0"s);
  ExpectValue(hive, "K", "Expand", REG_EXPAND_SZ, "%ProgramFiles%\\x\0"s);
  ExpectValue(hive, "K", "MultiStr", REG_MULTI_SZ, "a\0b\0\0"s);
  ExpectValue(hive, "K", "Bin", REG_BINARY, "\x01\x02\xff"s);
  ExpectValue(hive, "K", "Empty", REG_BINARY, "");
  ExpectValue(hive, "K", "Multi", REG_MULTI_SZ, "A\0\0"s);
  // UTF-16LE "%é€" + zero, in code page 1252 (€ is 0x80 there, not in
  // Latin-1).
  ExpectValue(hive, "K", "Wide", REG_EXPAND_SZ, "%\xe9\x80\0"s);
  ExpectValue(hive, "K", "Odd", REG_SZ, "A");
  ExpectValue(hive, "K", "Qword", 0xb, "\x01\0\0\0\0\0\0\0"s);
  ExpectValue(hive, "K", "Num", REG_DWORD, "\x2a\0\0\0"s);
  ExpectValue(hive, "K", "Big", REG_DWORD, "\xfe\xff\xff\xff"s);
  // A string of a non-text type keeps its UTF-16LE bytes.
  ExpectValue(hive, "K", "Raw", REG_BINARY, "A\0\0\0"s);
}

TEST(ParseRegistryTest, StringEscapesAndUnicode) {
  RegistryHive hive =
      ParseRegistry(kHeader +
                    "[K\\\\\\x00e9t\\xe9]\n"  // key name escapes too
                    "\"Ctl\"=\"\\a\\b\\e\\f\\n\\r\\t\\v\"\n"
                    "\"Quote\"=\"say \\\"hi\\\" \\\\ \\q\"\n"
                    "\"Octal\"=\"\\101\\0\\1012\\777\"\n"
                    "\"Hex\"=\"\\x41\\x263a\\x42434\\xz\"\n"
                    "\"Pair\"=\"\\xd83d\\xde00|\\xd83d|\"\n"
                    "\"Utf8\"=\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"\n"
                    "\"Bad\"=\"\xff\xc3(\xe2\x82\"\n"
                    "\"Caf\xc3\xa9\"=\"name\"\n"s);
  const std::string key = "K\\\xe9t\xe9";
  ExpectValue(hive, key, "Ctl", REG_SZ, "\a\b\x1b\f\n\r\t\v\0"s);
  ExpectValue(hive, key, "Quote", REG_SZ, "say \"hi\" \\ q\0"s);
  ExpectValue(hive, key, "Octal", REG_SZ, "A\0A2?\0"s);
  ExpectValue(hive, key, "Hex", REG_SZ, "A??4xz\0"s);
  // Each half of a pair is a '?' of its own, as in Wine.
  ExpectValue(hive, key, "Pair", REG_SZ, "??|?|\0"s);
  ExpectValue(hive, key, "Utf8", REG_SZ, "\xe9\x80??\0"s);
  ExpectValue(hive, key, "Bad", REG_SZ, "?\?(?\?\0"s);
  ExpectValue(hive, key, "Caf\xe9", REG_SZ, "name\0"s);
}

TEST(ParseRegistryTest, HexContinuesOverLines) {
  RegistryHive hive = ParseRegistry(kHeader +
                                    "[K]\n"
                                    "\"Long\"=hex:01,02,\\\n"
                                    "  03,04,\\\n"
                                    "  05\n"
                                    "\"NoComma\"=hex(7):41,00\\\n"
                                    "  00,00\n"
                                    "\"After\"=dword:00000001\n"s);
  ExpectValue(hive, "K", "Long", REG_BINARY, "\x01\x02\x03\x04\x05"s);
  ExpectValue(hive, "K", "NoComma", REG_MULTI_SZ, "A\0"s);
  ExpectValue(hive, "K", "After", REG_DWORD, "\x01\0\0\0"s);
}

TEST(ParseRegistryTest, SkipsBrokenLinesAndKeepsTheRest) {
  RegistryHive hive = ParseRegistry(kHeader +
                                    "\"Orphan\"=\"before any key\"\n"
                                    "[K]\n"
                                    "\"NoClose\"=\"abc\n"
                                    "\"NoEquals\" \"x\"\n"
                                    "\"BadHex\"=hex:01,zz\n"
                                    "\"ThreeDigits\"=hex:123\n"
                                    "\"BadDword\"=dword:12345678x\n"
                                    "\"LongDword\"=dword:123456789\n"
                                    "\"NoType\"=str:\"x\"\n"
                                    "\"Unknown\"=qword:1\n"
                                    "\"Good\"=\"ok\"\n"
                                    "[Broken\n"
                                    "\"Lost\"=\"x\"\n"
                                    "[]\n"
                                    "\"AlsoLost\"=\"x\"\n"
                                    "[K]\n"
                                    "\"Cut\"=hex:01,\\\n"s);
  ASSERT_EQ(hive.keys.size(), 1u);
  const auto& values = hive.keys.at("K");
  ASSERT_EQ(values.size(), 1u);
  ExpectValue(hive, "K", "Good", REG_SZ, "ok\0"s);
}

TEST(ParseRegistryTest, AnyPrefixOfAFileParsesSafely) {
  // Cutting the text anywhere must neither crash nor read past the end
  // (the sanitizers watch), and the line cut short is dropped, so whatever
  // survives is exactly as in the whole file.
  const std::string text = kHeader +
                           "#arch=win64\n"
                           "[Software\\\\Wow6432Node\\\\K\\x00e9] 17\n"
                           "\"S\"=\"a\\\\b\\x41\\101\\\"\"\n"
                           "\"M\"=hex(7):41,00,42,00,\\\n  00,00,00,00\n"
                           "@=str(2):\"%x%\"\n"
                           "\"D\"=dword:0000002a\n"s;
  RegistryHive full = ParseRegistry(text);
  ASSERT_EQ(full.keys.size(), 3u);
  ASSERT_EQ(full.keys.at("Software\\Wow6432Node\\K\xe9").size(), 4u);
  for (size_t n = 0; n <= text.size(); ++n) {
    RegistryHive part = ParseRegistry(text.substr(0, n));
    for (const auto& [key, values] : part.keys) {
      ASSERT_TRUE(full.keys.count(key)) << n;
      for (const auto& [name, value] : values) {
        RegistryValue whole = Get(full, key, name);
        EXPECT_EQ(value.type, whole.type) << n;
        EXPECT_EQ(value.data, whole.data) << n;
      }
    }
  }
}

TEST(ParseRegistryTest, DeepKeysStayLinear) {
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "k\\\\";
  RegistryHive hive = ParseRegistry(kHeader + ("[" + deep + "]\n"));
  EXPECT_EQ(hive.keys.size(), 100u);

  // Each key of a crafted file of very deep, distinct keys would store
  // every ancestor path: quadratic. Such keys are dropped past a budget,
  // and the parse stays fast.
  std::string text = kHeader;
  std::string path;
  for (int i = 0; i < 20000; ++i) path += "k\\\\";
  for (char c = 'a'; c <= 'z'; ++c) text += "["s + c + "\\\\" + path + "]\n";
  text += "[Last]\n\"v\"=\"x\"\n";
  auto start = std::chrono::steady_clock::now();
  RegistryHive crafted = ParseRegistry(text);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  size_t stored = 0;
  for (const auto& entry : crafted.keys) stored += entry.first.size();
  EXPECT_LE(stored, 8 * text.size() + (1u << 20));
  ExpectValue(crafted, "Last", "v", REG_SZ, "x\0"s);
}

// RegistryFile must answer every key exactly as the whole hive holds it,
// and know no key that the hive lacks.
void ExpectSameAsHive(const std::string& text) {
  const RegistryHive hive = ParseRegistry(text);
  const RegistryFile file(text);
  EXPECT_EQ(file.win64(), hive.win64) << text;
  for (const auto& [key, values] : hive.keys) {
    std::string upper = key;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    for (const std::string& asked : {key, upper}) {
      const RegistryValues* found = file.FindKey(asked);
      ASSERT_NE(found, nullptr) << asked << " in\n" << text;
      ASSERT_EQ(found->size(), values.size()) << asked << " in\n" << text;
      for (const auto& [name, value] : values) {
        auto other = found->find(name);
        ASSERT_NE(other, found->end()) << asked << " : " << name;
        EXPECT_EQ(other->second.type, value.type) << asked << " : " << name;
        EXPECT_EQ(other->second.data, value.data) << asked << " : " << name;
      }
    }
    for (const std::string& absent : {key + "x", key + "\\none"}) {
      if (hive.keys.count(absent) == 0) {
        EXPECT_EQ(file.FindKey(absent), nullptr) << absent << " in\n" << text;
      }
    }
  }
  EXPECT_EQ(file.FindKey(""), nullptr);
  EXPECT_EQ(file.FindKey("NoSuchKey"), nullptr);
}

TEST(RegistryFileTest, AnswersAsTheWholeHive) {
  const std::string cases[] = {
      "",
      "[A]\n\"v\"=\"x\"\n",
      kHeader + "[A]\n\"v\"=\"x\"\n"s,
      // Repeated keys merge in file order; names match whatever their case.
      kHeader +
          "[Software\\\\K] 1\n\"a\"=\"1\"\n\"b\"=\"2\"\n"
          "[software\\\\k]\n\"A\"=\"3\"\n[Software\\\\K\\\\Sub]\n"
          "\"c\"=dword:00000001\n"s,
      // Escapes and UTF-8 in key names, leading, doubled and trailing
      // separators, a name of separators only.
      kHeader +
          "[\\x53oftware\\\\\\\\K\\xe9\\\\] 1\n@=\"d\"\n"
          "[\\\\Software\\\\K\xc3\xa9t\\\\]\n\"u\"=\"e\"\n"
          "[\\\\\\\\]\n\"lost\"=\"x\"\n"
          "[So\\]ft]\n\"q\"=\"z\"\n"s,
      // Hex data that goes on over lines takes a line that looks like a
      // key; a broken one ending in '\' does not.
      kHeader +
          "[K1]\n\"h\"=hex:01,02,\\\n[K2]\n\"after\"=\"1\"\n"
          "\"bad\"=hex:zz,\\\n[K3]\n\"x\"=\"y\"\n"
          "  \"sp\"=hex(7):41,00,\\\n  00,00 \n"s,
      // Broken key lines drop their values; values before any key go
      // nowhere; CRLF line ends; a last line cut short.
      kHeader +
          "\"early\"=\"1\"\r\n[Bad\r\n\"v\"=\"1\"\r\n"
          "[Good] 5\r\n\"v\"=\"2\"\r\n\"cut\"=\"3\""s,
      // The architecture is the last #arch line, wherever it is.
      kHeader +
          "#arch=win64\n[Software\\\\Wow6432Node\\\\K]\n\"v\"=\"1\"\n"
          "#arch=win32\n#arch=win64\n"s,
      // Long names differ from the asked one only late, or only by a tail.
      kHeader +
          "[Software\\\\Kestrova\\\\Plennet Groupware 6.5] 1\n"
          "\"KestrovaDir32\"=\"C:\\\\Client\"\n"
          "[Software\\\\Kestrova\\\\Plennet Groupware 6.50] 1\n"
          "\"KestrovaDir32\"=\"wrong\"\n"
          "[Software\\\\Kestrova\\\\Plennet Groupware 6]\n\"x\"=\"1\"\n"s,
  };
  for (const std::string& text : cases) ExpectSameAsHive(text);
}

TEST(RegistryFileTest, AnswersAsTheWholeHiveOnRandomTexts) {
  // Lines drawn from the shapes above, in any order: whatever they make,
  // both readers must agree.
  const char* const kLines[] = {
      "[A]",
      "[a\\\\B]",
      "[A\\\\b\\\\C] 17",
      "[\\x41]",
      "[A\\\\\\\\B\\\\]",
      "[Bad",
      "  [A\\\\B]",
      "[\\xe9]",
      "\"v\"=\"1\"",
      "\"V\"=\"2\"",
      "@=\"d\"",
      "\"n\"=dword:2a",
      "\"h\"=hex:01,\\",
      "  02,03",
      "\"h2\"=hex(2):41,00,\\",
      "[A]",
      "\"bad\"=hex:zz,\\",
      "#arch=win64",
      "#arch=win32",
      "; comment",
      "",
      "\"s\"=str(7):\"x\\0y\"",
      "\"cut",
      "\"e\"=",
  };
  std::mt19937 random(6);
  for (int round = 0; round < 400; ++round) {
    std::string text = kHeader;
    const int count = static_cast<int>(random() % 24);
    for (int i = 0; i < count; ++i) {
      text += kLines[random() % (sizeof kLines / sizeof kLines[0])];
      text += random() % 5 == 0 ? "\r\n" : "\n";
    }
    if (random() % 4 == 0) text += "\"last\"=\"cut\"";
    ExpectSameAsHive(text);
    if (HasFatalFailure()) return;
  }
}

TEST(View32KeyPathTest, RedirectsSoftwareOnWin64Only) {
  RegistryHive win64;
  win64.win64 = true;
  RegistryHive win32;
  EXPECT_EQ(View32KeyPath(win64, "Software\\Kestrova\\X"),
            "Software\\Wow6432Node\\Kestrova\\X");
  EXPECT_EQ(View32KeyPath(win64, "SOFTWARE"), "SOFTWARE\\Wow6432Node");
  EXPECT_EQ(View32KeyPath(win64, "software\\wow6432node\\K"),
            "software\\wow6432node\\K");
  EXPECT_EQ(View32KeyPath(win64, "System\\Software"), "System\\Software");
  EXPECT_EQ(View32KeyPath(win64, "SoftwareX\\K"), "SoftwareX\\K");
  EXPECT_EQ(View32KeyPath(win64, "\\\\Software\\\\\\K\\"),
            "Software\\Wow6432Node\\K");
  EXPECT_EQ(View32KeyPath(win32, "\\Software\\\\K\\"), "Software\\K");
  EXPECT_EQ(View32KeyPath(win64, ""), "");
}

class RegistryCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ks_registry_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/system.reg";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Writes the file and gives it the modification time (1700000000, nsec).
  void Write(const std::string& value, long nsec) {
    std::ofstream(path_, std::ios::trunc)
        << kHeader << "[K]\n\"v\"=\"" << value << "\"\n";
    timespec times[2] = {{1700000000, 0}, {1700000000, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  }

  std::string dir_;
  std::string path_;
};

TEST_F(RegistryCacheTest, ParsesOnceUntilTheFileChanges) {
  RegistryCache cache;
  const int dir = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  auto load = [&](int from = -1, const std::string& name = "") {
    return cache.Load(from < 0 ? dir : from, name.empty() ? dir_ : name,
                      kMaxRegistryFileBytes);
  };
  auto missing = load();
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(missing->FindKey("K"), nullptr);
  EXPECT_EQ(load(), missing);

  Write("one", 100);
  auto first = load();
  ExpectValue(*first, "K", "v", REG_SZ, "one\0"s);
  EXPECT_EQ(load(), first);

  // Same size, same second: only the nanoseconds tell.
  Write("two", 200);
  auto second = load();
  EXPECT_NE(second, first);
  ExpectValue(*second, "K", "v", REG_SZ, "two\0"s);
  EXPECT_EQ(load(), second);

  // Replaced by another file with the same size and time: the inode tells.
  std::filesystem::create_directory(dir_ + "/old");
  std::filesystem::rename(path_, dir_ + "/old/system.reg");
  Write("six", 200);
  auto third = load();
  ExpectValue(*third, "K", "v", REG_SZ, "six\0"s);

  // Another prefix is another file.
  const int old = open((dir_ + "/old").c_str(), O_RDONLY | O_DIRECTORY);
  auto other = load(old, dir_ + "/old");
  ExpectValue(*other, "K", "v", REG_SZ, "two\0"s);
  close(old);

  std::filesystem::remove(path_);
  EXPECT_EQ(load()->FindKey("K"), nullptr);
  close(dir);
}

// What steers the run is looked at before a byte of it is read: a file
// larger than the bound, writable by others, another user's or a link has
// no keys, and says why.
TEST_F(RegistryCacheTest, RefusesUnreadWhatItMustNotBelieve) {
  RegistryCache cache;
  const int dir = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  Write("one", 100);
  auto read = [&](std::uint64_t bound) {
    RegistryRead found = RegistryRead::kRead;
    const bool keys =
        cache.Load(dir, dir_, bound, &found)->FindKey("K") != nullptr;
    return std::make_pair(keys, found);
  };
  EXPECT_EQ(read(kMaxRegistryFileBytes),
            std::make_pair(true, RegistryRead::kRead));
  // A sparse file far above the bound is refused at once.
  ASSERT_EQ(truncate(path_.c_str(), off_t{1} << 30), 0);
  EXPECT_EQ(read(kMaxRegistryFileBytes),
            std::make_pair(false, RegistryRead::kTooLarge));
  Write("one", 100);
  EXPECT_EQ(read(10), std::make_pair(false, RegistryRead::kTooLarge));
  ASSERT_EQ(chmod(path_.c_str(), 0664), 0);
  EXPECT_EQ(read(kMaxRegistryFileBytes),
            std::make_pair(false, RegistryRead::kWritableByOthers));
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
    EXPECT_EQ(read(kMaxRegistryFileBytes),
              std::make_pair(false, RegistryRead::kNotOwned));
    ASSERT_EQ(chown(path_.c_str(), 0, 0), 0);
  }
  std::filesystem::rename(path_, dir_ + "/real.reg");
  std::filesystem::create_symlink("real.reg", path_);
  EXPECT_EQ(read(kMaxRegistryFileBytes),
            std::make_pair(false, RegistryRead::kUnreadable));
  close(dir);
}

}  // namespace
}  // namespace ks::posix
