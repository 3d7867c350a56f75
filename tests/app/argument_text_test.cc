#include "app/argument_text.h"

#include <gtest/gtest.h>

namespace ks {
namespace {

TEST(ArgumentText, RemovesProgramNameAndBlanksAfterIt) {
  EXPECT_EQ(ArgumentText("ksupdate.exe C:\\Patch\\setup.exe"),
            "C:\\Patch\\setup.exe");
  EXPECT_EQ(ArgumentText("ksupdate.exe \t  C:\\Patch\\x"), "C:\\Patch\\x");
  // Blanks inside and at the end of the argument stay: it is one text.
  EXPECT_EQ(ArgumentText("ksupdate C:\\My Patch\\setup.exe  "),
            "C:\\My Patch\\setup.exe  ");
}

TEST(ArgumentText, QuotedProgramName) {
  EXPECT_EQ(ArgumentText("\"C:\\Program Files\\ks update.exe\" D:\\P\\s.exe"),
            "D:\\P\\s.exe");
  // The name ends at its closing quote, even with no blank after it.
  EXPECT_EQ(ArgumentText("\"ks.exe\"D:\\x"), "D:\\x");
  // An unclosed quote swallows the whole line.
  EXPECT_EQ(ArgumentText("\"C:\\ks.exe D:\\x"), "");
}

TEST(ArgumentText, ArgumentKeepsItsQuotes) {
  EXPECT_EQ(ArgumentText("ks.exe \"D:\\Patch Dir\\setup.exe\""),
            "\"D:\\Patch Dir\\setup.exe\"");
}

TEST(ArgumentText, NoArgument) {
  EXPECT_EQ(ArgumentText("ks.exe"), "");
  EXPECT_EQ(ArgumentText("ks.exe   "), "");
  EXPECT_EQ(ArgumentText("\"ks.exe\""), "");
  EXPECT_EQ(ArgumentText(""), "");
  EXPECT_EQ(ArgumentText(nullptr), "");
}

TEST(ArgumentText, BytesCompareUnsigned) {
  // 0xE9 is a letter of the name, not a blank; control bytes are blanks.
  EXPECT_EQ(ArgumentText("k\xE9.exe\x01\x1f x"), "x");
  EXPECT_EQ(ArgumentText("k\xE9\xA0.exe y"), "y");
}

TEST(JoinArguments, JoinsWordsWithOneBlank) {
  const char* none[] = {"ksupdate"};
  EXPECT_EQ(JoinArguments(1, none), "");
  const char* one[] = {"ksupdate", "C:\\Patch\\setup.exe"};
  EXPECT_EQ(JoinArguments(2, one), "C:\\Patch\\setup.exe");
  const char* split[] = {"ksupdate", "C:\\My", "Patch\\setup.exe", ""};
  EXPECT_EQ(JoinArguments(4, split), "C:\\My Patch\\setup.exe ");
}

}  // namespace
}  // namespace ks
