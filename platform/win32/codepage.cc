// ANSI text to Unicode and back in the process's ANSI code page, through
// the system's own conversion.
#include "formats/codepage.h"
// clang-format off
#include <windows.h>
// clang-format on

#include <string>
#include <string_view>

namespace ks {

bool IsAnsiLeadByte(unsigned char byte) {
  return ::IsDBCSLeadByte(byte) != FALSE;
}

std::u16string AnsiToUnicode(std::string_view ansi) {
  if (ansi.empty()) return std::u16string();
  const int size = static_cast<int>(ansi.size());
  // No MB_ERR_INVALID_CHARS: an invalid byte gives the code page's default
  // character rather than failing the whole text.
  const int length =
      ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, nullptr, 0);
  if (length <= 0) return std::u16string();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, wide.data(), length);
  return std::u16string(wide.begin(), wide.end());
}

std::string UnicodeToAnsi(std::u16string_view text) {
  if (text.empty()) return std::string();
  // Surrogates are replaced up front: WideCharToMultiByte may make one '?'
  // of a pair, and the Linux provider makes one of each unit, as Wine's
  // profile functions do.
  std::wstring wide(text.begin(), text.end());
  for (wchar_t& unit : wide) {
    if (unit >= 0xD800 && unit <= 0xDFFF) unit = L'?';
  }
  const int size = static_cast<int>(wide.size());
  // WC_NO_BEST_FIT_CHARS: a character the code page lacks becomes '?', not
  // a look-alike that could name another file ("Best Fit" in
  // WideCharToMultiByte's documentation).
  const int length =
      ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size,
                            nullptr, 0, "?", nullptr);
  if (length <= 0) return std::string(text.size(), '?');
  std::string ansi(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size,
                        ansi.data(), length, "?", nullptr);
  return ansi;
}

}  // namespace ks
