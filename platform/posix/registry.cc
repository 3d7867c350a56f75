#include "platform/posix/registry.h"

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/codepage.h"
#include "formats/text.h"
#include "platform/posix/files.h"
#include "platform/posix/registry_syntax.h"

namespace ks::posix {
namespace {

using registry_syntax::LineReader;
using registry_syntax::ParseKeyLine;
using registry_syntax::ParseValueLine;
using registry_syntax::SkipSpaces;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimTrailingSpaces(std::string_view s) {
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool ConsumePrefix(std::string_view* s, std::string_view prefix) {
  if (s->substr(0, prefix.size()) != prefix) return false;
  s->remove_prefix(prefix.size());
  return true;
}

// The ANSI form of UTF-16 text, in the code page of the process's locale
// (formats/codepage.h).
std::string ToAnsi(std::u16string_view text) { return UnicodeToAnsi(text); }

std::u16string FromUtf16Le(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size() / 2);
  // An odd last byte is no whole unit; the conversion leaves it out.
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text.push_back(
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                              (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return text;
}

std::string ToUtf16Le(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

// The character that a one-letter escape such as "\n" stands for; 0 for a
// letter that is none.
char16_t SimpleEscape(char letter) {
  constexpr std::string_view kLetters = "abefnrtv";
  constexpr char16_t kCharacters[] = {0x07, 0x08, 0x1B, 0x0C,
                                      0x0A, 0x0D, 0x09, 0x0B};
  size_t index = kLetters.find(letter);
  return index == std::string_view::npos ? 0 : kCharacters[index];
}

// Appends the UTF-8 character at line[*i] and moves past it. A byte that
// starts no well-formed sequence is one U+FFFD on its own, so that bad
// bytes never swallow the ones after them.
void AppendCodePoint(std::string_view line, size_t* i, std::u16string* out) {
  char32_t code = 0;
  NextUtf8(line, i, BadUtf8::kEachByte, &code);
  AppendUtf16(code, out);
}

// Decodes escaped text from line[*pos] up to an unescaped `close`, leaving
// *pos just after it. False when the line ends first.
bool ParseEscaped(std::string_view line, size_t* pos, char close,
                  std::u16string* out) {
  size_t i = *pos;
  while (i < line.size()) {
    char c = line[i];
    if (c == close) {
      *pos = i + 1;
      return true;
    }
    if (c != '\\') {
      AppendCodePoint(line, &i, out);
      continue;
    }
    if (++i == line.size()) return false;
    c = line[i];
    char16_t simple = SimpleEscape(c);
    if (simple != 0) {
      out->push_back(simple);
      ++i;
    } else if (c >= '0' && c <= '7') {
      unsigned value = 0;
      for (int n = 0;
           n < 3 && i < line.size() && line[i] >= '0' && line[i] <= '7';
           ++n, ++i) {
        value = value * 8 + static_cast<unsigned>(line[i] - '0');
      }
      out->push_back(static_cast<char16_t>(value));
    } else if (c == 'x') {
      ++i;
      unsigned value = 0;
      int digits = 0;
      for (; digits < 4 && i < line.size() && HexDigit(line[i]) >= 0;
           ++digits, ++i) {
        value = value * 16 + static_cast<unsigned>(HexDigit(line[i]));
      }
      // "\x" without digits is no number: it stands for the 'x' itself.
      out->push_back(digits > 0 ? static_cast<char16_t>(value) : u'x');
    } else {
      // "\\", "\"", "\]" and any unknown escape: the character itself.
      AppendCodePoint(line, &i, out);
    }
  }
  return false;
}

// Joins the non-empty '\'-separated components of `path` with single
// backslashes.
std::string NormalizeKeyPath(std::string_view path) {
  std::string normal;
  normal.reserve(path.size());
  size_t i = 0;
  while (i < path.size()) {
    if (path[i] == '\\') {
      ++i;
      continue;
    }
    size_t end = path.find('\\', i);
    if (end == std::string_view::npos) end = path.size();
    if (!normal.empty()) normal.push_back('\\');
    normal.append(path.substr(i, end - i));
    i = end;
  }
  return normal;
}

// Parses a DWORD written in 1 to 8 hex digits, all of `text`.
bool ParseHexNumber(std::string_view text, DWORD* value) {
  if (text.empty() || text.size() > 8) return false;
  DWORD number = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    number = number * 16 + static_cast<DWORD>(digit);
  }
  *value = number;
  return true;
}

// Parses "01,02,..." (one or two hex digits a byte), which goes on to the
// next line while a line ends in '\'. False on anything malformed,
// including a text that ends while the list still goes on.
bool ParseHexBytes(std::string_view rest, LineReader* lines, std::string* out) {
  for (;;) {
    size_t i = SkipSpaces(rest, 0);
    bool continued = false;
    while (i < rest.size()) {
      if (rest[i] == '\\') {
        if (SkipSpaces(rest, i + 1) != rest.size()) return false;
        continued = true;
        break;
      }
      int high = HexDigit(rest[i]);
      if (high < 0) return false;
      unsigned byte = static_cast<unsigned>(high);
      if (++i < rest.size() && HexDigit(rest[i]) >= 0) {
        byte = byte * 16 + static_cast<unsigned>(HexDigit(rest[i]));
        ++i;
      }
      out->push_back(static_cast<char>(byte));
      i = SkipSpaces(rest, i);
      if (i < rest.size()) {
        if (rest[i] == ',') {
          i = SkipSpaces(rest, i + 1);
        } else if (rest[i] != '\\') {
          return false;
        }
      }
    }
    if (!continued) return true;
    if (!lines->Next(&rest)) return false;
  }
}

bool IsTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The stored data of a quoted string of `type`, in the form the ANSI query
// returns: text types as ANSI text, any other type as the UTF-16LE bytes.
// Each string ends with its zero; a REG_MULTI_SZ also gets the zero that
// ends the list when the text lacks it.
std::string StringData(DWORD type, std::u16string text) {
  text.push_back(u'\0');
  if (type == REG_MULTI_SZ && (text.size() < 2 || text[text.size() - 2] != 0)) {
    text.push_back(u'\0');
  }
  return IsTextType(type) ? ToAnsi(text) : ToUtf16Le(text);
}

// Parses what follows "name=" on a value line; more lines are taken from
// `lines` when hex data continues there.
bool ParseValueData(std::string_view data, LineReader* lines,
                    RegistryValue* value) {
  if (!data.empty() && data[0] == '"') {
    std::u16string text;
    size_t pos = 1;
    if (!ParseEscaped(data, &pos, '"', &text)) return false;
    value->type = REG_SZ;
    value->data = StringData(REG_SZ, std::move(text));
    return true;
  }
  if (ConsumePrefix(&data, "dword:")) {
    size_t end = 0;
    while (end < data.size() && HexDigit(data[end]) >= 0) ++end;
    DWORD number = 0;
    if (SkipSpaces(data, end) != data.size() ||
        !ParseHexNumber(data.substr(0, end), &number)) {
      return false;
    }
    value->type = REG_DWORD;
    value->data.clear();
    for (int shift = 0; shift < 32; shift += 8) {
      value->data.push_back(static_cast<char>((number >> shift) & 0xFF));
    }
    return true;
  }
  bool is_string = ConsumePrefix(&data, "str");
  if (!is_string && !ConsumePrefix(&data, "hex")) return false;
  DWORD type = is_string ? REG_SZ : REG_BINARY;
  if (ConsumePrefix(&data, "(")) {
    size_t close = data.find(')');
    if (close == std::string_view::npos ||
        !ParseHexNumber(data.substr(0, close), &type)) {
      return false;
    }
    data.remove_prefix(close + 1);
  } else if (is_string) {
    return false;  // "str" always names its type
  }
  if (!ConsumePrefix(&data, ":")) return false;
  if (is_string) {
    std::u16string text;
    size_t pos = 1;
    if (data.empty() || data[0] != '"' ||
        !ParseEscaped(data, &pos, '"', &text)) {
      return false;
    }
    value->type = type;
    value->data = StringData(type, std::move(text));
    return true;
  }
  std::string bytes;
  if (!ParseHexBytes(data, lines, &bytes)) return false;
  value->type = type;
  value->data = IsTextType(type) ? ToAnsi(FromUtf16Le(bytes)) : bytes;
  return true;
}

// Whether the key at `path` is `key` or a key below it.
bool IsAtOrBelow(std::string_view path, std::string_view key) {
  return path.size() >= key.size() &&
         EqualsIgnoringAsciiCase(path.substr(0, key.size()), key) &&
         (path.size() == key.size() || path[key.size()] == '\\');
}

// False when the key line `line` (which starts with '[') certainly names
// neither `target` (a normalised path) nor a key below it, as its plain
// ASCII start shows; true when it may, which parsing the line decides. Most
// lines of a large file differ from the target within a few bytes.
bool MayNameKeyAtOrBelow(std::string_view line, std::string_view target) {
  size_t t = 0;  // bytes of `target` matched
  bool started = false;
  bool separator = false;  // separators seen since the last name byte
  for (size_t i = 1; i < line.size();) {
    auto c = static_cast<unsigned char>(line[i]);
    if (c == ']') return t == target.size();
    unsigned char decoded = c;
    if (c == '\\') {
      // A doubled backslash is one; any other escape is the parser's to read.
      if (i + 1 >= line.size() || line[i + 1] != '\\') return true;
      i += 2;
    } else if (c >= 0x80) {
      return true;  // UTF-8
    } else {
      ++i;
    }
    if (decoded == '\\') {
      separator = started;
      continue;
    }
    if (separator) {
      if (t == target.size()) return true;  // below the target
      if (target[t] != '\\') return false;
      ++t;
      separator = false;
    }
    if (t == target.size() ||
        LowerAscii(decoded) !=
            LowerAscii(static_cast<unsigned char>(target[t]))) {
      return false;
    }
    ++t;
    started = true;
  }
  return true;  // no ']': the parser refuses the line
}

}  // namespace

namespace registry_syntax {

size_t SkipSpaces(std::string_view s, size_t i) {
  while (i < s.size() && IsSpace(s[i])) ++i;
  return i;
}

bool ReadHeader(LineReader* lines) {
  std::string_view line;
  return lines->Next(&line) &&
         TrimTrailingSpaces(line) == "WINE REGISTRY Version 2";
}

void ReadOption(std::string_view line, bool* win64) {
  std::string_view option = TrimTrailingSpaces(line);
  if (option == "#arch=win64") *win64 = true;
  if (option == "#arch=win32") *win64 = false;
}

bool ParseKeyLine(std::string_view line, std::string* path) {
  std::u16string name;
  size_t pos = 1;
  if (!ParseEscaped(line, &pos, ']', &name)) return false;
  // Key names cannot hold a '\', so every one left after the escapes
  // separates components.
  *path = NormalizeKeyPath(ToAnsi(name));
  return true;
}

bool ParseValueLine(std::string_view line, LineReader* lines, std::string* name,
                    RegistryValue* value) {
  std::u16string wide_name;
  size_t pos = 1;
  if (line[0] == '"' && !ParseEscaped(line, &pos, '"', &wide_name)) {
    return false;
  }
  pos = SkipSpaces(line, pos);
  if (pos >= line.size() || line[pos] != '=') return false;
  pos = SkipSpaces(line, pos + 1);
  if (!ParseValueData(line.substr(pos), lines, value)) return false;
  *name = ToAnsi(wide_name);
  return true;
}

}  // namespace registry_syntax

bool NameLess::operator()(const std::string& a, const std::string& b) const {
  return LessIgnoringAsciiCase(a, b);
}

std::string View32KeyPath(bool win64, const std::string& key_path) {
  std::string path = NormalizeKeyPath(key_path);
  if (!win64) return path;
  std::string_view view = path;
  size_t first_end = view.find('\\');
  std::string_view first = view.substr(0, first_end);
  if (!EqualsIgnoringAsciiCase(first, "Software")) return path;
  if (first_end != std::string_view::npos) {
    std::string_view rest = view.substr(first_end + 1);
    std::string_view second = rest.substr(0, rest.find('\\'));
    if (EqualsIgnoringAsciiCase(second, "Wow6432Node")) return path;
  }
  path.insert(first.size(), "\\Wow6432Node");
  return path;
}

RegistryFile::RegistryFile(std::string text) : text_(std::move(text)) {
  // The one pass that every answer needs: where the key lines are, and the
  // architecture. Value data is skipped, except that a line ending in '\'
  // is parsed to learn how many lines its hex data takes, as FindKey takes
  // them.
  LineReader lines(text_);
  if (!registry_syntax::ReadHeader(&lines)) return;
  std::string_view line;
  for (size_t start = lines.pos(); lines.Next(&line); start = lines.pos()) {
    line.remove_prefix(SkipSpaces(line, 0));
    if (line.empty()) continue;
    switch (line[0]) {
      case '[':
        key_lines_.push_back(start);
        break;
      case '"':
      case '@':
        if (!TrimTrailingSpaces(line).empty() &&
            TrimTrailingSpaces(line).back() == '\\') {
          std::string name;
          RegistryValue value;
          ParseValueLine(line, &lines, &name, &value);
        }
        break;
      case '#':
        registry_syntax::ReadOption(line, &win64_);
        break;
      default:  // ';' comments, and lines we cannot make sense of
        break;
    }
  }
}

const RegistryValues* RegistryFile::FindKey(const std::string& key_path) const {
  auto known = found_.find(key_path);
  if (known != found_.end()) return known->second.get();
  std::unique_ptr<RegistryValues> values;
  for (size_t k = 0; k < key_lines_.size() && !key_path.empty(); ++k) {
    LineReader lines(text_, key_lines_[k]);
    std::string_view line;
    lines.Next(&line);
    line.remove_prefix(SkipSpaces(line, 0));
    std::string path;
    if (!MayNameKeyAtOrBelow(line, key_path) || !ParseKeyLine(line, &path) ||
        !IsAtOrBelow(path, key_path)) {
      continue;
    }
    if (values == nullptr) values = std::make_unique<RegistryValues>();
    // A key below it makes it exist, as its ancestor.
    if (path.size() > key_path.size()) continue;
    // The key's own lines, up to the next key line; a repeated key adds to
    // the values, and a repeated value replaces the earlier one.
    const size_t end =
        k + 1 < key_lines_.size() ? key_lines_[k + 1] : text_.size();
    while (lines.pos() < end && lines.Next(&line)) {
      line.remove_prefix(SkipSpaces(line, 0));
      if (line.empty() || (line[0] != '"' && line[0] != '@')) continue;
      std::string name;
      RegistryValue value;
      if (ParseValueLine(line, &lines, &name, &value)) {
        values->insert_or_assign(std::move(name), std::move(value));
      }
    }
  }
  const RegistryValues* answer = values.get();
  found_.emplace(key_path, std::move(values));
  return answer;
}

std::shared_ptr<const RegistryFile> RegistryCache::Empty() {
  // Missing and unreadable files share one empty file.
  if (file_ == nullptr || have_stamp_) {
    file_ = std::make_shared<const RegistryFile>(std::string());
  }
  have_stamp_ = false;
  return file_;
}

std::shared_ptr<const RegistryFile> RegistryCache::Load(
    int prefix, const std::string& prefix_path, std::uint64_t max_bytes,
    RegistryRead* read) {
  RegistryRead own_read = RegistryRead::kRead;
  RegistryRead& found = read != nullptr ? *read : own_read;
  if (prefix_path != prefix_path_) {
    file_.reset();
    have_stamp_ = false;
    prefix_path_ = prefix_path;
  }
  Place place;
  place.Borrow(prefix);
  place.name = "system.reg";
  struct stat st {};
  found = RegistryRead::kMissing;
  if (!place.valid() || !StatAt(place, &st)) return Empty();
  // Whose the file is, and its size, before a byte of it is read.
  const Ownership ownership = CheckOwnership(st);
  found = !S_ISREG(st.st_mode)                ? RegistryRead::kUnreadable
          : ownership == Ownership::kNotOwned ? RegistryRead::kNotOwned
          : ownership == Ownership::kWritableByOthers
              ? RegistryRead::kWritableByOthers
          : static_cast<std::uint64_t>(st.st_size) > max_bytes
              ? RegistryRead::kTooLarge
              : RegistryRead::kRead;
  if (found != RegistryRead::kRead) return Empty();
  if (file_ != nullptr && have_stamp_ && stamp_ == FileStamp::Of(st)) {
    return file_;
  }
  std::string text;
  // The stamp is taken from the descriptor that is read, so a file
  // replaced between the two looks is seen as changed at the next call; a
  // file that grew past the bound meanwhile is not read beyond it.
  if (!ReadFileAt(place, &text, &st, max_bytes)) {
    found =
        errno == EFBIG ? RegistryRead::kTooLarge : RegistryRead::kUnreadable;
    return Empty();
  }
  have_stamp_ = true;
  stamp_ = FileStamp::Of(st);
  file_ = std::make_shared<const RegistryFile>(std::move(text));
  return file_;
}

}  // namespace ks::posix
