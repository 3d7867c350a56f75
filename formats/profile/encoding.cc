#include "formats/profile/encoding.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "formats/codepage.h"
#include "formats/text.h"

namespace ks::profile {
namespace {

void DecodeUtf16(std::string_view raw, size_t bom, bool big_endian,
                 Decoded* out) {
  size_t i = bom;
  for (; i + 1 < raw.size(); i += 2) {
    const auto first = static_cast<unsigned char>(raw[i]);
    const auto second = static_cast<unsigned char>(raw[i + 1]);
    out->text.push_back(static_cast<char16_t>(
        big_endian ? (first << 8) | second : (second << 8) | first));
    out->offsets.push_back(i);
  }
  out->tail = out->text.size();
  if (i < raw.size()) {
    out->text.push_back(static_cast<unsigned char>(raw[i]));
    out->offsets.push_back(i);
  }
}

void DecodeUtf8(std::string_view raw, size_t bom, Decoded* out) {
  size_t i = bom;
  out->tail = std::string::npos;
  while (i < raw.size()) {
    const size_t start = i;
    char32_t code = 0;
    if (NextUtf8(raw, &i, BadUtf8::kLikeWindows, &code) ==
        Utf8Read::kCutShort) {
      out->tail = out->text.size();
    }
    // Both units of a surrogate pair begin at the character's first byte.
    AppendUtf16(code, &out->text);
    out->offsets.resize(out->text.size(), start);
  }
  if (out->tail == std::string::npos) out->tail = out->text.size();
}

// One unit a character, as AnsiToUnicode gives it; a lone lead byte at the
// end is a cut end: a byte written after it would join it.
void DecodeAnsi(std::string_view raw, Decoded* out) {
  out->text = AnsiToUnicode(raw);
  out->tail = out->text.size();
  size_t i = 0;
  while (i < raw.size()) {
    out->offsets.push_back(i);
    const size_t next = NextAnsiChar(raw, i);
    if (next == raw.size() && next - i == 1 &&
        IsAnsiLeadByte(static_cast<unsigned char>(raw[i]))) {
      out->tail = out->offsets.size() - 1;
    }
    i = next;
  }
  // Every double-byte page gives one unit a character; should one not, the
  // text is decoded a character at a time.
  if (out->offsets.size() != out->text.size()) {
    out->text.clear();
    for (size_t k = 0; k < out->offsets.size(); ++k) {
      const size_t end =
          k + 1 < out->offsets.size() ? out->offsets[k + 1] : raw.size();
      const std::u16string unit =
          AnsiToUnicode(raw.substr(out->offsets[k], end - out->offsets[k]));
      out->text += unit.empty() ? u'?' : unit[0];
    }
  }
}

std::string Encode(Encoding encoding, std::u16string_view text) {
  if (encoding == Encoding::kAnsiDoubleByte) return UnicodeToAnsi(text);
  std::string bytes;
  if (encoding == Encoding::kUtf8) {
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
      char32_t code = NextUtf16(text, &i);
      if (IsSurrogate(code)) code = 0xFFFD;  // UTF-8 has no lone surrogates
      AppendUtf8(code, &bytes);
    }
    return bytes;
  }
  const bool big_endian = encoding == Encoding::kUtf16Be;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes.push_back(big_endian ? high : low);
    bytes.push_back(big_endian ? low : high);
  }
  return bytes;
}

}  // namespace

Encoding Detect(std::string_view raw, size_t* bom) {
  *bom = 0;
  if (raw.substr(0, 3) == "\xEF\xBB\xBF") {
    *bom = 3;
    return Encoding::kUtf8;
  }
  if (raw.substr(0, 2) == "\xFF\xFE") {
    *bom = 2;
    return Encoding::kUtf16Le;
  }
  if (raw.substr(0, 2) == "\xFE\xFF") {
    *bom = 2;
    return Encoding::kUtf16Be;
  }
  return AnsiIsDoubleByte() ? Encoding::kAnsiDoubleByte : Encoding::kAnsi;
}

Decoded Decode(std::string_view raw, Encoding encoding, size_t bom) {
  Decoded decoded;
  decoded.encoding = encoding;
  decoded.text.reserve(raw.size());
  decoded.offsets.reserve(raw.size() + 1);
  if (encoding == Encoding::kAnsiDoubleByte) {
    DecodeAnsi(raw, &decoded);
  } else if (encoding == Encoding::kUtf8) {
    DecodeUtf8(raw, bom, &decoded);
  } else {
    DecodeUtf16(raw, bom, encoding == Encoding::kUtf16Be, &decoded);
  }
  decoded.offsets.push_back(raw.size());
  return decoded;
}

std::string ReplaceUnits(std::string_view raw, const Decoded& decoded,
                         size_t begin, size_t end, std::u16string_view units) {
  std::u16string whole;
  if (end == decoded.text.size() && decoded.tail < begin) {
    whole.assign(decoded.text, decoded.tail, begin - decoded.tail);
    whole += units;
    units = whole;
    begin = decoded.tail;
  }
  const size_t first = decoded.offsets[begin];
  const size_t last = decoded.offsets[end];
  const std::string bytes = Encode(decoded.encoding, units);
  std::string result;
  result.reserve(raw.size() - (last - first) + bytes.size());
  result.append(raw.substr(0, first));
  result.append(bytes);
  result.append(raw.substr(last));
  return result;
}

}  // namespace ks::profile
