// The argument-text rule on any command line. Input: the command line (up
// to a zero byte, as Windows hands it over).
//
// The argument text is always a suffix of the command line and never starts
// with a blank; behind a program name, plain or quoted, it is the rest of
// the line; and the words that the Linux entry joins read back as the
// joined text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/argument_text.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using ks::fuzz::Check;
  ks::fuzz::FuzzInput input(data, size);
  const std::string line = input.Field();
  const std::string text = ks::ArgumentText(line.c_str());
  Check(text.size() <= line.size() &&
            line.compare(line.size() - text.size(), text.size(), text) == 0,
        "the argument text is a suffix of the command line");
  Check(text.empty() || static_cast<unsigned char>(text[0]) > ' ',
        "the argument text starts with no blank");

  const bool starts_plain =
      line.empty() || static_cast<unsigned char>(line[0]) > ' ';
  if (starts_plain) {
    Check(ks::ArgumentText(("ksupdate.exe " + line).c_str()) == line,
          "behind a plain program name comes the whole rest");
    Check(
        ks::ArgumentText(
            ("\"C:\\Program Files\\ks update.exe\"  " + line).c_str()) == line,
        "behind a quoted program name comes the whole rest");
  }

  // The remaining fields as argv words.
  std::vector<std::string> words = {"ksupdate"};
  while (true) {
    std::string rest = input.Field();
    if (rest.empty()) break;
    words.push_back(rest);
  }
  std::vector<const char*> argv;
  argv.reserve(words.size());
  for (const std::string& word : words) argv.push_back(word.c_str());
  const std::string joined =
      ks::JoinArguments(static_cast<int>(argv.size()), argv.data());
  if (joined.empty() || static_cast<unsigned char>(joined[0]) > ' ') {
    Check(ks::ArgumentText(("ksupdate " + joined).c_str()) == joined,
          "a joined text reads back behind the program name");
  }
  return 0;
}
