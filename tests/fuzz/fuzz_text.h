// Text rules of profile files, written out independently of the provider,
// for the profile fuzz targets to check it against.
#ifndef KSUPDATE_TESTS_FUZZ_FUZZ_TEXT_H_
#define KSUPDATE_TESTS_FUZZ_FUZZ_TEXT_H_

#include <cstddef>
#include <string_view>

namespace ks::fuzz {

// The blanks that profile names and values are trimmed of.
inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r' || c == '\x1a';
}

inline std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Names compare with ASCII letters folded.
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace ks::fuzz

#endif  // KSUPDATE_TESTS_FUZZ_FUZZ_TEXT_H_
