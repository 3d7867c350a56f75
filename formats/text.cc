#include "formats/text.h"

namespace ks {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The second byte that a lead byte allows: no overlong forms, no
// surrogates, nothing above U+10FFFF. Every other continuation byte may be
// any of 0x80 to 0xBF.
bool SecondByteFits(unsigned char lead, unsigned char second) {
  if (lead == 0xE0) return second >= 0xA0;
  if (lead == 0xED) return second <= 0x9F;
  if (lead == 0xF0) return second >= 0x90;
  if (lead == 0xF4) return second <= 0x8F;
  return true;
}

}  // namespace

bool SameFileName(std::string_view a, std::string_view b) {
  auto trimmed = [](std::string_view name) {
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
      name.remove_suffix(1);
    }
    return name;
  };
  return EqualsIgnoringAsciiCase(trimmed(a), trimmed(b));
}

bool LessIgnoringAsciiCase(std::string_view a, std::string_view b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    const auto x = LowerAscii(static_cast<unsigned char>(a[i]));
    const auto y = LowerAscii(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

Utf8Read NextUtf8(std::string_view s, size_t* i, BadUtf8 policy,
                  char32_t* code) {
  const auto lead = static_cast<unsigned char>(s[*i]);
  if (lead < 0x80) {
    *code = lead;
    ++*i;
    return Utf8Read::kChar;
  }
  size_t length = 0;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
  } else {
    *code = kReplacement;
    ++*i;
    return Utf8Read::kBad;
  }
  *code = kReplacement;
  if (s.size() - *i < length) {
    *i = policy == BadUtf8::kLikeWindows ? s.size() : *i + 1;
    return Utf8Read::kCutShort;
  }
  size_t k = 1;
  for (; k < length; ++k) {
    const auto next = static_cast<unsigned char>(s[*i + k]);
    if ((next & 0xC0u) != 0x80u) break;
    if (k == 1 && !SecondByteFits(lead, next)) {
      ++k;
      break;
    }
    value = (value << 6) | (next & 0x3Fu);
  }
  if (k < length) {
    *i += policy == BadUtf8::kLikeWindows ? k : 1;
    return Utf8Read::kBad;
  }
  *code = value;
  *i += length;
  return Utf8Read::kChar;
}

void AppendUtf8(char32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

void AppendUtf16(char32_t code, std::u16string* out) {
  if (code < 0x10000) {
    out->push_back(static_cast<char16_t>(code));
    return;
  }
  code -= 0x10000;
  out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
  out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
}

char32_t NextUtf16(std::u16string_view text, size_t* i) {
  const char32_t unit = text[(*i)++];
  if (unit >= 0xD800 && unit <= 0xDBFF && *i < text.size() &&
      text[*i] >= 0xDC00 && text[*i] <= 0xDFFF) {
    return 0x10000 + ((unit - 0xD800) << 10) + (text[(*i)++] - 0xDC00);
  }
  return unit;
}

}  // namespace ks
