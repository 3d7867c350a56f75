#include "platform/profile/encoding.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/text.h"

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

std::string Encode(Encoding encoding, std::u16string_view text) {
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
  return Encoding::kAnsi;
}

Decoded Decode(std::string_view raw, Encoding encoding, size_t bom) {
  Decoded decoded;
  decoded.encoding = encoding;
  decoded.text.reserve(raw.size());
  decoded.offsets.reserve(raw.size() + 1);
  if (encoding == Encoding::kUtf8) {
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
