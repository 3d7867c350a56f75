#include "formats/profile/profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "formats/profile/file.h"

namespace {

using ks::DWORD;
namespace profile = ks::profile;

// The answer of profile::GetString; checks that nothing past `size` is
// written and that the count is the string's length.
std::string Get(const std::string& contents, const char* section,
                const char* key, const char* fallback = "", DWORD size = 64,
                bool exists = true) {
  std::vector<char> buffer(size + 1, 'X');
  const DWORD n = profile::GetString(contents, exists, section, key, fallback,
                                     buffer.data(), size);
  EXPECT_EQ(buffer[size], 'X');
  if (size > 0 && key != nullptr) {
    EXPECT_EQ(n, std::strlen(buffer.data()));
  }
  return std::string(buffer.data(), n);
}

// The whole buffer after a list call, unwritten bytes left as 'X'.
std::string Buffer(const std::vector<char>& buffer) {
  return std::string(buffer.data(), buffer.size());
}

std::string Section(const std::string& contents, const char* section,
                    DWORD size, DWORD* count) {
  std::vector<char> buffer(size, 'X');
  *count = profile::GetSection(contents, section, buffer.data(), size);
  return Buffer(buffer);
}

std::string Write(const std::string& contents, const char* section,
                  const char* key, const char* value) {
  std::string result;
  EXPECT_TRUE(profile::WriteString(contents, section, key, value, &result));
  return result;
}

TEST(ProfileRead, MatchesNamesAndTrimsAcrossLineEnds) {
  const std::string text =
      "\xEF\xBB\xBF[Main]\r  Path \t=  C:\\x y \x1a\nother=1\r\n"
      "[ Second ] trailing\nkey=2";
  EXPECT_EQ(Get(text, "main", "PATH"), "C:\\x y");
  EXPECT_EQ(Get(text, "  MAIN ", " path"), "C:\\x y");
  EXPECT_EQ(Get(text, "main", "other"), "1");
  EXPECT_EQ(Get(text, "second", "key"), "2");
  EXPECT_EQ(Get(text, "main", "key", "none"), "none");
}

TEST(ProfileRead, StripsOnePairOfMatchingQuotes) {
  const std::string text =
      "[s]\na=\"x y\"\nb='x'\nc=\"x'\nd=\"\ne=\"\"\nf=\"\"x\"\"\ng= ' x ' \n";
  EXPECT_EQ(Get(text, "s", "a"), "x y");
  EXPECT_EQ(Get(text, "s", "b"), "x");
  EXPECT_EQ(Get(text, "s", "c"), "\"x'");
  EXPECT_EQ(Get(text, "s", "d"), "\"");
  EXPECT_EQ(Get(text, "s", "e"), "");
  EXPECT_EQ(Get(text, "s", "f"), "\"x\"");
  EXPECT_EQ(Get(text, "s", "g"), " x ");
}

TEST(ProfileRead, FallsBackToTheDefault) {
  const std::string text = "[s]\nbare\nempty=\n";
  EXPECT_EQ(Get(text, "s", "bare", "dflt"), "dflt");  // no '='
  EXPECT_EQ(Get(text, "s", "empty", "dflt"), "");
  EXPECT_EQ(Get(text, "s", "missing", "dflt  "), "dflt");
  EXPECT_EQ(Get(text, "t", "empty", nullptr), "");
  EXPECT_EQ(Get(text, "s", "missing", "'q'"), "q");
  EXPECT_EQ(Get(text, "s", "empty", "'q' ", 64, /*exists=*/false), "'q'");
}

TEST(ProfileRead, FirstSectionAndFirstKeyWin) {
  const std::string text = "[a]\nk=1\nk=2\n[b]\nj=3\n[A]\nk=4\nonly=5\n";
  EXPECT_EQ(Get(text, "a", "k"), "1");
  EXPECT_EQ(Get(text, "a", "only", "none"), "none");
  EXPECT_EQ(Get("[a]\nk\nk=1\n", "a", "k", "d"), "d");
}

TEST(ProfileRead, RecognisesHeadersCommentsAndThePreamble) {
  const std::string text = "early=0\n[a]b]\nx=1\n[c\n;k=2\n  ; j=3\n[]\nz=4\n";
  EXPECT_EQ(Get(text, "a]b", "x"), "1");
  EXPECT_EQ(Get(text, "a]b", "[c", "none"), "none");  // bare entry
  // A comment is found by its key, ';' and all, as in Wine.
  EXPECT_EQ(Get(text, "a]b", ";k", "none"), "2");
  EXPECT_EQ(Get(text, "a]b", "; j"), "3");
  EXPECT_EQ(Get(text, "a]b", "j", "none"), "none");
  // The lines before the first header are the section ""; "[]" only
  // repeats that name.
  EXPECT_EQ(Get(text, " ", "early", "none"), "0");
  EXPECT_EQ(Get(text, "", "z", "none"), "none");
  DWORD n = 0;
  EXPECT_EQ(Section(text, "a]b", 16, &n),
            std::string("x=1\0[c\0\0XXXXXXXX", 16));
}

TEST(ProfileRead, TruncatesToTheBufferAndStopsAtNul) {
  const std::string text("[s]\nk=value\nn=ab\0cd\n", 20);
  EXPECT_EQ(Get(text, "s", "k", "", 4), "val");
  EXPECT_EQ(Get(text, "s", "k", "", 1), "");
  EXPECT_EQ(Get(text, "s", "k", "", 0), "");
  EXPECT_EQ(Get(text, "s", "n"), "ab");
}

TEST(ProfileRead, ListsKeysUntilAnEmptyOne) {
  std::vector<char> buffer(16, 'X');
  EXPECT_EQ(profile::GetString("[s]\nb=0\n=1\nc=2\n", true, "s", nullptr, "d",
                               buffer.data(), 16),
            5u);
  EXPECT_EQ(Buffer(buffer), std::string("b\0\0c\0\0XXXXXXXXXX", 16));
  // An empty first key, or no room for one, gives the default.
  EXPECT_EQ(Get("[s]\n=1\nb=0\n", "s", nullptr, "d"), "d");
  EXPECT_EQ(Get("[s]\nb=0\n", "s", nullptr, "d", 2), "d");
  EXPECT_EQ(Get("[s]\nb=0\n", " s", nullptr, "d"), "d");
}

TEST(ProfileRead, ListsKeyNamesAndSectionNames) {
  const std::string text = "x=0\n[a]\nk=1\nbare\n;c=2\nJ = 3\n[]\n[b]\n";
  std::vector<char> buffer(16, 'X');
  EXPECT_EQ(
      profile::GetString(text, true, "a", nullptr, "d", buffer.data(), 16), 4u);
  EXPECT_EQ(Buffer(buffer), std::string("k\0J\0\0XXXXXXXXXXX", 16));
  EXPECT_EQ(
      profile::GetString(text, true, nullptr, nullptr, "d", buffer.data(), 16),
      4u);
  EXPECT_EQ(Buffer(buffer), std::string("a\0b\0\0XXXXXXXXXXX", 16));
  EXPECT_EQ(Get(text, "b", nullptr, "d"), "d");
}

TEST(ProfileSection, ListsEntriesInFileOrder) {
  const std::string text =
      "[s]\n  k = 1 \n\n; note\nbare  word \n=v\nq=\"x\"\n[t]\nz=0\n";
  DWORD n = 0;
  EXPECT_EQ(Section(text, "S", 32, &n),
            std::string("k=1\0bare  word\0=v\0q=\"x\"\0\0XXXXXXX", 32));
  EXPECT_EQ(n, 24u);
  EXPECT_EQ(Section(text, "none", 4, &n), std::string("\0\0XX", 4));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(Section(text, nullptr, 4, &n), std::string("\0\0XX", 4));
}

TEST(ProfileSection, TruncatesWithTwoZeros) {
  const std::string text = "[s]\nab=1\ncd=2\n";  // "ab=1\0cd=2\0" is 10
  DWORD n = 0;
  EXPECT_EQ(Section(text, "s", 12, &n), std::string("ab=1\0cd=2\0\0X", 12));
  EXPECT_EQ(n, 10u);
  // A list that fills the buffer exactly is reported as cut, as Wine does.
  EXPECT_EQ(Section(text, "s", 11, &n), std::string("ab=1\0cd=2\0\0", 11));
  EXPECT_EQ(n, 9u);
  EXPECT_EQ(Section(text, "s", 10, &n), std::string("ab=1\0cd=\0\0", 10));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(Section(text, "s", 2, &n), std::string("\0\0", 2));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(Section(text, "s", 1, &n), std::string("\0", 1));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(profile::GetSection(text, "s", nullptr, 0), 0u);
}

TEST(ProfileSection, AnswersAsWineOnOddInput) {
  DWORD n = 0;
  // The section name asked for is not trimmed here.
  EXPECT_EQ(Section("[s]\na=1\n", " s ", 8, &n), std::string("\0\0XXXXXX", 8));
  // A keyless entry is dropped right after another one; a comment or any
  // other entry in between keeps it, a blank line does not.
  EXPECT_EQ(Section("[s]\n=1\nb=5\n=2\n", "s", 16, &n).substr(0, 11),
            std::string("=1\0b=5\0=2\0\0", 11));
  EXPECT_EQ(Section("[s]\n=1\n==2\n\n=3\n;c\n=4\n", "s", 16, &n).substr(0, 7),
            std::string("=1\0=4\0\0", 7));
  EXPECT_EQ(Section(std::string("[s]\n\0x=1\n=2\n[t]\n=3\n", 19), "t", 8, &n)
                .substr(0, 4),
            std::string("=3\0\0", 4));
  // A NUL ends a name, but the blanks before it stay.
  EXPECT_EQ(Section(std::string("[s]\nk \0x=1\n\0", 12), "s", 8, &n),
            std::string("k =1\0\0XX", 8));
  EXPECT_EQ(Get(std::string("[s]\nk \0x=1\n\0", 12), "s", "k", "none"), "none");
}

TEST(ProfileString, QuotesOfACutValueCostOneMoreCharacter) {
  char buffer[8];
  EXPECT_EQ(profile::GetString("[s]\nq=\"5\"\n", true, "s", "q", "", buffer, 2),
            0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(
      profile::GetString("[s]\nq=\"56\"\n", true, "s", "q", "", buffer, 8), 2u);
  EXPECT_STREQ(buffer, "56");
  EXPECT_EQ(
      profile::GetString("[s]\nq=\"5678\"\n", true, "s", "q", "", buffer, 3),
      2u);
  EXPECT_STREQ(buffer, "56");
}

TEST(ProfileWrite, ReplacesOnlyTheEntryLine) {
  const std::string text =
      "; top\r\n[Sec]\r\n  MyKey = old ; x\r\n\r\nother = 1\n[sec]\r\nmykey=9";
  EXPECT_EQ(Write(text, "sec", "mykey", "new"),
            "; top\r\n[Sec]\r\nMyKey=new\r\n\r\nother = 1\n[sec]\r\nmykey=9");
  EXPECT_EQ(Write(text, "sec", "other", "2"),
            "; top\r\n[Sec]\r\n  MyKey = old ; x\r\n\r\nother=2\n[sec]\r\n"
            "mykey=9");
  // The same value as stored leaves the line as it was; quotes count.
  EXPECT_EQ(Write("[s]\nk = v \n", "s", "k", "v"), "[s]\nk = v \n");
  EXPECT_EQ(Write("[s]\nk = \"v\"\n", "s", "k", "v"), "[s]\nk=v\n");
  EXPECT_EQ(Write("[s]\nk\n", "s", "k", ""), "[s]\nk=\n");
}

TEST(ProfileWrite, AddsKeyAfterTheSectionsLastNonBlankLine) {
  EXPECT_EQ(Write("[a]\nx=1\n; c\n\n\n[b]\n", "a", "y", "2"),
            "[a]\nx=1\n; c\ny=2\n\n\n[b]\n");
  EXPECT_EQ(Write("[a]\r\n\r\n[b]\r\n", "A", "y", "2"),
            "[a]\r\ny=2\r\n\r\n[b]\r\n");
  EXPECT_EQ(Write("[a]\rx=1", "a", "y", "2"), "[a]\rx=1\ry=2\r");
  EXPECT_EQ(Write("[a]\n;c\n", "a", "", "v"), "[a]\n;c\n=v\n");
}

TEST(ProfileWrite, AppendsAMissingSectionInTheFilesLineEndStyle) {
  EXPECT_EQ(Write("", "s", "k", "v"), "[s]\r\nk=v\r\n");
  EXPECT_EQ(Write("\xEF\xBB\xBF", " s ", " k ", "v"),
            "\xEF\xBB\xBF[s]\r\nk=v\r\n");
  EXPECT_EQ(Write("x=1\n\n", "s", "k", "v"), "x=1\n\n[s]\nk=v\n");
  EXPECT_EQ(Write("[a]\r\nx=1", "s", "", "v"), "[a]\r\nx=1\r\n[s]\r\n=v\r\n");
  // The section "" is the lines before the first header.
  EXPECT_EQ(Write("[a]\n", "", "k", "v"), "k=v\n[a]\n");
  EXPECT_EQ(Write("x=1\n[a]\n", " ", "k", "v"), "x=1\nk=v\n[a]\n");
}

TEST(ProfileWrite, DeletesKeysAndSections) {
  const std::string text = "[a]\nx=1\n  y = 2\n\n[b]\nz=3\n[a]\ny=4";
  EXPECT_EQ(Write(text, "a", "Y", nullptr), "[a]\nx=1\n\n[b]\nz=3\n[a]\ny=4");
  EXPECT_EQ(Write(text, "a", nullptr, nullptr), "[b]\nz=3\n[a]\ny=4");
  EXPECT_EQ(Write(text, "b", nullptr, "ignored"),
            "[a]\nx=1\n  y = 2\n\n[a]\ny=4");
  EXPECT_EQ(Write(text, "b", "none", nullptr), text);
  EXPECT_EQ(Write(text, "c", nullptr, nullptr), text);
  EXPECT_EQ(Write(text, nullptr, nullptr, nullptr), text);
}

TEST(ProfileWrite, RefusesWhatWouldNotReadBack) {
  std::string result;
  for (const auto& [section, key, value] :
       std::vector<std::tuple<const char*, const char*, const char*>>{
           {"s", "k", "a\nb"},
           {"s", "k", "a\rb"},
           {"s", "k\nj", "v"},
           {"s\rt", "k", "v"},
           {"s", "a=b", "v"},
           {"s", " [k]", "v"},
           {"s", "[k", "v]"},
           {nullptr, "k", "v"}}) {
    EXPECT_FALSE(profile::WriteString("[s]\n", section, key, value, &result))
        << (section ? section : "(null)") << " " << key << " " << value;
  }
}

TEST(ProfileWrite, AwkwardValuesReadBackUnchanged) {
  for (const char* value :
       {"", " ", " lead", "trail\t", "\"q\"", "'q'", "\"", "'x\"", "a=b", "[x]",
        "; no comment", "\"\"", "x\x1a"}) {
    const std::string text = Write("[s]\nk=old\n", "s", "k", value);
    EXPECT_EQ(Get(text, "s", "k"), value) << text;
    EXPECT_EQ(Get(Write(text, "s", "new", value), "s", "new"), value);
  }
}

// Arbitrary text: never out of bounds, and any accepted write reads back.
TEST(ProfileWrite, WritesReadBackInArbitraryText) {
  std::mt19937 random(1234);
  const std::string alphabet("[]=;\r\n \t\"'\0aAk\xEF\xBB\xBF", 17);
  const char* names[] = {"k", "K", "", "a", "[]", "x y"};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 40);
    for (int i = 0; i < length; ++i) text += alphabet[random() % 17];
    const char* section = names[random() % 6];
    const char* key = names[random() % 6];
    std::string result;
    if (!profile::WriteString(text, section, key, "v a", &result)) continue;
    ASSERT_EQ(Get(result, section, key), "v a") << testing::PrintToString(text);
    const DWORD size = random() % 8;
    std::vector<char> buffer(size + 1, 'X');
    profile::GetSection(result, section, buffer.data(), size);
    profile::GetString(result, true, nullptr, nullptr, "", buffer.data(), size);
    profile::GetString(result, true, section, nullptr, "", buffer.data(), size);
    ASSERT_EQ(buffer[size], 'X');
  }
}

// `text` (ASCII and code points below 0x100) as UTF-16 with its mark.
std::string Utf16(const std::u16string& text, bool big_endian) {
  std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += big_endian ? high : low;
    bytes += big_endian ? low : high;
  }
  return bytes;
}

// A batch of writes (one replace of client.ver for a whole patch) leaves
// the text each write in turn would, whatever the text: the index it
// leaves stale between writes must not show.
TEST(ProfileWrite, ABatchWritesAsItsWritesOneByOne) {
  std::mt19937 random(4321);
  const std::string alphabet("[]=;\r\n \t\"'\0aAk\xEF\xBB\xBF", 17);
  const char* names[] = {"k", "K", "", "a", "[]", "x y"};
  const char* values[] = {"v a", "1", nullptr, ""};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 40);
    for (int i = 0; i < length; ++i) text += alphabet[random() % 17];
    if (round % 3 == 0) text.insert(0, Utf16(u"[k]\r\nk=1\r\n", false));
    if (round % 3 == 1)
      text.insert(0, ";\r\n[k]\r\nk=1\r\n[a]\r\na=1\r\nk=2\r\n");
    std::vector<ks::ProfileWrite> batch;
    for (int i = static_cast<int>(random() % 6); i >= 0; --i) {
      const char* value = values[random() % 4];
      batch.push_back({names[random() % 6], names[random() % 6],
                       value != nullptr ? std::optional<std::string>(value)
                                        : std::nullopt});
    }
    profile::File together(text);
    profile::File apart(text);
    bool changed = false;
    const bool made = together.WriteStrings(batch, &changed);
    bool each = true;
    for (const ks::ProfileWrite& w : batch) {
      each = each && apart.WriteString(w.section.c_str(), w.key.c_str(),
                                       w.value ? w.value->c_str() : nullptr);
    }
    ASSERT_EQ(made, each) << testing::PrintToString(text);
    if (made) {
      ASSERT_EQ(together.contents(), apart.contents())
          << testing::PrintToString(text);
      if (!changed) {
        ASSERT_EQ(together.contents(), text);
      }
    }
  }
}

TEST(ProfileUnicode, Utf16ReadsInAnsiAndWritesItsOwnLineInUtf16) {
  for (bool big_endian : {false, true}) {
    const std::string text = Utf16(
        u"[Modules]\r\n\u0160k.dll=\u20ac5\r\nb=\u0141\r\n[x]\r\n", big_endian);
    // Code page 1252: U+0160 is 0x8A, U+20AC 0x80, U+0141 none.
    EXPECT_EQ(Get(text, "modules", "\x8ak.dll"),
              "\x80"
              "5");
    EXPECT_EQ(Get(text, "modules", "b"), "?");
    DWORD n = 0;
    EXPECT_EQ(Section(text, "Modules", 16, &n).substr(0, 14),
              std::string("\x8ak.dll=\x80"
                          "5\0b=?\0\0",
                          14));
    EXPECT_EQ(Write(text, "modules", "b", "\xe9"),
              Utf16(u"[Modules]\r\n\u0160k.dll=\u20ac5\r\nb=\u00e9\r\n[x]\r\n",
                    big_endian));
    EXPECT_EQ(Write(text, "new", "k", "1"),
              Utf16(u"[Modules]\r\n\u0160k.dll=\u20ac5\r\nb=\u0141\r\n[x]\r\n"
                    u"[new]\r\nk=1\r\n",
                    big_endian));
    profile::File file(text);
    ASSERT_TRUE(file.WriteString("x", "k", "\x80"));
    EXPECT_EQ(file.GetString("X", "K", "", nullptr, 0), 0u);
    char buffer[8];
    EXPECT_EQ(file.GetString("X", "K", "", buffer, 8), 1u);
    EXPECT_STREQ(buffer, "\x80");
  }
}

TEST(ProfileUnicode, Utf8MarkIsSkippedAndItsTextReadInAnsi) {
  const std::string text =
      "\xEF\xBB\xBF[modules]\nsoci\xC3\xA9t\xC3\xA9.dll=1\nbad=\xC0\xAF|"
      "\xE2\x82|\n";
  EXPECT_EQ(Get(text, "MODULES", "soci\xe9t\xe9.dll"), "1");
  // Bad bytes read as Wine's decoder reads them: one U+FFFD each here.
  EXPECT_EQ(Get(text, "modules", "bad"), "??|?|");
  EXPECT_EQ(Write(text, "modules", "\xe9", "\x80"),
            text + "\xC3\xA9=\xE2\x82\xAC\n");
}

TEST(ProfileUnicode, AWriteAtACutEndWritesThatEndWhole) {
  // A lone last byte of UTF-16 is a unit of its own; a cut UTF-8 sequence
  // at the end is one U+FFFD, whatever follows its lead byte.
  const std::string odd = Utf16(u"[s]\nk=", false) + "A";
  EXPECT_EQ(Get(odd, "s", "k"), "A");
  EXPECT_EQ(Write(odd, "s", "n", "1"), Utf16(u"[s]\nk=A\nn=1\n", false));
  const std::string cut = "\xEF\xBB\xBF[s]\nk=\xF0\x9F\n";
  EXPECT_EQ(Get(cut, "s", "k"), "?");
  const std::string written = Write(cut, "s", "n", "1");
  EXPECT_EQ(written, "\xEF\xBB\xBF[s]\nk=\xEF\xBF\xBD\nn=1\n");
  EXPECT_EQ(Get(written, "s", "k"), "?");
}

TEST(ProfileLarge, HugeLinesAndManyEntriesStayLinear) {
  std::string text = "[s]\nlong=" + std::string(1 << 20, 'v') + "\n";
  for (int i = 0; i < 100000; ++i) text += "key" + std::to_string(i) + "=x\n";
  EXPECT_EQ(Get(text, "s", "key99999"), "x");
  std::string result = Write(text, "s", "new", "y");
  EXPECT_EQ(result.size(), text.size() + 6);
  result = Write(result, "s", "long", "short");
  EXPECT_EQ(Get(result, "s", "long"), "short");
  std::vector<char> buffer(text.size());
  EXPECT_GT(profile::GetSection(text, "s", buffer.data(),
                                static_cast<DWORD>(buffer.size())),
            1u << 20);
}

}  // namespace

// The keys read in place are the keys of the list GetSection gives (split
// at its first '='), on a file's text and on its kept index alike, and the
// walk stops when asked to.
TEST(ProfileSection, KeysReadInPlaceAreTheListsKeys) {
  std::mt19937 random(2468);
  const std::string alphabet("[]=;\r\n \t|\0aAs", 13);
  for (int round = 0; round < 3000; ++round) {
    std::string text = round % 2 == 0 ? "[s]\n" : "";
    const int length = static_cast<int>(random() % 40);
    for (int i = 0; i < length; ++i) text += alphabet[random() % 13];
    std::vector<char> buffer(4096);
    const DWORD n =
        profile::GetSection(text, "s", buffer.data(), DWORD(buffer.size()));
    std::vector<std::string> listed;
    for (size_t at = 0; at < n; at += listed.back().size() + 1) {
      listed.emplace_back(buffer.data() + at);
    }
    for (std::string& entry : listed) entry = entry.substr(0, entry.find('='));
    std::vector<std::string> in_place;
    profile::ForEachListedKey(text, "s", [&](std::string_view key) {
      in_place.emplace_back(key);
      return true;
    });
    ASSERT_EQ(in_place, listed) << testing::PrintToString(text);
    std::vector<std::string> indexed;
    profile::File(text).ForEachListedKey("s", [&](std::string_view key) {
      indexed.emplace_back(key);
      return indexed.size() < 2;
    });
    listed.resize(std::min<size_t>(listed.size(), 2));
    ASSERT_EQ(indexed, listed) << testing::PrintToString(text);
  }
}
