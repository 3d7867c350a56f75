#include "platform/profile.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace ks {
namespace {

using std::string_view;

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr size_t kUtf8BomSize = 3;

// isspace() in the C locale, plus Ctrl-Z, which DOS editors leave at the end
// of files and Wine treats as a blank.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r' || c == '\x1a';
}

string_view Trim(string_view s) {
  size_t begin = 0;
  while (begin < s.size() && IsBlank(s[begin])) ++begin;
  size_t end = s.size();
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

// What callers get to see of a name or value: every string handed back is
// zero-terminated, so a NUL byte in the file ends the field there.
string_view Field(string_view s) { return Trim(s.substr(0, s.find('\0'))); }

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(string_view a, string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool HasLineBreak(string_view s) {
  return s.find_first_of("\r\n") != string_view::npos;
}

// One pair of matching quotes around a value is not part of it.
string_view Unquote(string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
      v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

// A line of the file as byte offsets into it.
struct Line {
  size_t begin = 0;
  size_t end = 0;   // one past the last byte before the line end
  size_t next = 0;  // one past the line end; == end on an unterminated line
};

// Splits the file into lines ended by CR, LF or CRLF, past a UTF-8 BOM.
class LineReader {
 public:
  explicit LineReader(string_view text) : LineReader(text, BodyStart(text)) {}
  // Reads from `pos`, which must be the start of a line.
  LineReader(string_view text, size_t pos) : text_(text), pos_(pos) {}

  static size_t BodyStart(string_view text) {
    return text.substr(0, kUtf8BomSize) == kUtf8Bom ? kUtf8BomSize : 0;
  }

  bool Next(Line* line) {
    if (pos_ >= text_.size()) return false;
    line->begin = pos_;
    size_t end = text_.find_first_of("\r\n", pos_);
    if (end == string_view::npos) end = text_.size();
    line->end = end;
    size_t next = end;
    if (next < text_.size()) {
      next += (text_[next] == '\r' && next + 1 < text_.size() &&
               text_[next + 1] == '\n')
                  ? 2
                  : 1;
    }
    line->next = next;
    pos_ = next;
    return true;
  }

  string_view Text(const Line& line) const {
    return text_.substr(line.begin, line.end - line.begin);
  }

 private:
  string_view text_;
  size_t pos_;
};

enum class LineKind { kBlank, kComment, kSection, kEntry };

struct ParsedLine {
  LineKind kind = LineKind::kBlank;
  string_view name;  // section name or key
  string_view value;
  bool has_value = false;  // the entry has a '='
};

ParsedLine Parse(string_view text) {
  ParsedLine parsed;
  const string_view line = Trim(text);
  if (line.empty()) return parsed;
  if (line.front() == ';') {
    parsed.kind = LineKind::kComment;
    return parsed;
  }
  if (line.front() == '[') {
    const size_t close = line.rfind(']');
    if (close != string_view::npos) {
      parsed.kind = LineKind::kSection;
      parsed.name = Field(line.substr(1, close - 1));
      return parsed;
    }
    // Without a ']' it is an ordinary entry.
  }
  parsed.kind = LineKind::kEntry;
  const size_t equals = line.find('=');
  if (equals == string_view::npos) {
    parsed.name = Field(line);
  } else {
    parsed.name = Field(line.substr(0, equals));
    parsed.value = Field(line.substr(equals + 1));
    parsed.has_value = true;
  }
  return parsed;
}

// Where the first section of a name lies, and where in it the first entry
// of a key.
struct SectionScan {
  bool found = false;
  Line header;
  Line last_nonblank;  // the header when nothing else in the section is
  size_t end = 0;      // where the next section's header starts, or EOF
  bool key_found = false;
  Line key_line;
  ParsedLine key_entry;
};

// Lines before the first header belong to no section: even the name "" only
// finds a "[]" header. `key` may be null when no entry is wanted.
SectionScan ScanSection(string_view text, string_view section,
                        const char* key) {
  SectionScan scan;
  const string_view key_name = key == nullptr ? string_view() : Trim(key);
  LineReader reader(text);
  Line line;
  while (reader.Next(&line)) {
    const ParsedLine parsed = Parse(reader.Text(line));
    if (parsed.kind == LineKind::kSection) {
      if (scan.found) {
        scan.end = line.begin;
        return scan;
      }
      if (EqualsNoCase(parsed.name, section)) {
        scan.found = true;
        scan.header = line;
        scan.last_nonblank = line;
      }
      continue;
    }
    if (!scan.found || parsed.kind == LineKind::kBlank) continue;
    scan.last_nonblank = line;
    if (key != nullptr && !scan.key_found && parsed.kind == LineKind::kEntry &&
        EqualsNoCase(parsed.name, key_name)) {
      scan.key_found = true;
      scan.key_line = line;
      scan.key_entry = parsed;
    }
  }
  scan.end = text.size();
  return scan;
}

// Fills a caller's buffer with a list of zero-terminated strings and one
// more zero, truncating as GetPrivateProfileSection does: what does not fit
// is cut at size - 2 bytes and ended with two zeros.
class ListWriter {
 public:
  ListWriter(LPSTR buffer, DWORD size)
      : buffer_(buffer), size_(buffer == nullptr ? 0 : size) {}

  void Append(string_view part) {
    // Text goes only below size - 1; Finish() places the terminating zeros.
    const size_t limit = size_ == 0 ? 0 : size_ - 1;
    if (length_ < limit && !part.empty()) {
      const size_t n = std::min(part.size(), limit - length_);
      std::memcpy(buffer_ + length_, part.data(), n);
    }
    length_ += part.size();
  }

  void EndString() {
    const char zero = '\0';
    Append(string_view(&zero, 1));
    ++count_;
  }

  size_t count() const { return count_; }

  DWORD Finish() {
    if (size_ == 0) return 0;
    if (length_ == 0) {
      buffer_[0] = '\0';
      if (size_ >= 2) buffer_[1] = '\0';
      return 0;
    }
    // A list that fills the buffer exactly counts as cut, as in Wine.
    if (length_ + 1 < size_) {
      buffer_[length_] = '\0';
      return static_cast<DWORD>(length_);
    }
    if (size_ < 2) {
      buffer_[0] = '\0';
      return 0;
    }
    buffer_[size_ - 2] = '\0';
    buffer_[size_ - 1] = '\0';
    return size_ - 2;
  }

 private:
  LPSTR buffer_;
  DWORD size_;
  size_t length_ = 0;  // of the whole list, also the part that did not fit
  size_t count_ = 0;
};

// Copies at most size - 1 bytes and a zero; returns the bytes copied.
DWORD CopyString(string_view text, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  const size_t n = std::min<size_t>(text.size(), size - 1);
  if (n > 0) std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

// Copies a value without one pair of matching quotes, as Wine does: it
// drops the closing quote by cutting the last character copied, so a value
// cut short by the buffer loses one more character.
DWORD CopyUnquoted(string_view value, LPSTR buffer, DWORD size) {
  if (Unquote(value).size() == value.size()) {
    return CopyString(value, buffer, size);
  }
  const string_view rest = value.substr(1);
  DWORD n = CopyString(rest, buffer, size);
  if (size >= rest.size() && n > 0) buffer[--n] = '\0';
  return n;
}

// The line end that new lines get: the file's first one, CRLF when it has
// none.
string_view LineEndStyle(string_view text) {
  const size_t pos = text.find_first_of("\r\n");
  if (pos == string_view::npos) return "\r\n";
  if (text[pos] == '\n') return "\n";
  if (pos + 1 < text.size() && text[pos + 1] == '\n') return "\r\n";
  return "\r";
}

// A value as written so that reading it back (trim, then strip one pair of
// quotes) gives exactly `value`.
std::string EncodeValue(string_view value) {
  const bool wrap =
      !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                         Unquote(value).size() != value.size());
  if (!wrap) return std::string(value);
  std::string encoded;
  encoded.reserve(value.size() + 2);
  encoded += '"';
  encoded += value;
  encoded += '"';
  return encoded;
}

std::string Erase(string_view text, size_t begin, size_t end) {
  std::string result;
  result.reserve(text.size() - (end - begin));
  result.append(text.substr(0, begin));
  result.append(text.substr(end));
  return result;
}

// A key line that reads back as `key` and nothing else; the trimmed key
// (possibly empty) is what gets written.
bool IsWritableKey(string_view raw) {
  if (HasLineBreak(raw)) return false;
  const string_view key = Trim(raw);
  if (key.find('=') != string_view::npos) return false;
  return key.empty() || (key.front() != '[' && key.front() != ';');
}

bool IsWritableSection(string_view raw) {
  return !HasLineBreak(raw) && Trim(raw).find(']') == string_view::npos;
}

}  // namespace

DWORD ProfileGetSection(const std::string& contents, LPCSTR section,
                        LPSTR buffer, DWORD size) {
  ListWriter out(buffer, size);
  if (section == nullptr) return out.Finish();
  // Unlike the other reads, Wine does not trim the name asked for here.
  const SectionScan scan = ScanSection(contents, section, nullptr);
  if (!scan.found) return out.Finish();
  LineReader reader(string_view(contents).substr(0, scan.end),
                    scan.header.next);
  Line line;
  bool empty_key_seen = false;
  while (reader.Next(&line)) {
    const ParsedLine parsed = Parse(reader.Text(line));
    if (parsed.kind != LineKind::kEntry) continue;
    // A field cut short by a NUL can leave nothing; an empty string would
    // end the list early.
    if (!parsed.has_value && parsed.name.empty()) continue;
    // Wine lists only the first entry whose key is empty.
    if (parsed.name.empty()) {
      if (empty_key_seen) continue;
      empty_key_seen = true;
    }
    out.Append(parsed.name);
    if (parsed.has_value) {
      out.Append("=");
      out.Append(parsed.value);
    }
    out.EndString();
  }
  return out.Finish();
}

DWORD ProfileGetString(const std::string& contents, bool file_exists,
                       LPCSTR section, LPCSTR key, LPCSTR default_value,
                       LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  const string_view text(contents);

  if (section == nullptr) {
    ListWriter out(buffer, size);
    if (file_exists) {
      LineReader reader(text);
      Line line;
      while (reader.Next(&line)) {
        const ParsedLine parsed = Parse(reader.Text(line));
        if (parsed.kind == LineKind::kSection && !parsed.name.empty()) {
          out.Append(parsed.name);
          out.EndString();
        }
      }
    }
    return out.Finish();
  }

  string_view fallback = default_value == nullptr ? "" : default_value;
  while (!fallback.empty() && fallback.back() == ' ') fallback.remove_suffix(1);

  if (key == nullptr) {
    ListWriter out(buffer, size);
    const SectionScan scan =
        file_exists ? ScanSection(text, Trim(section), nullptr) : SectionScan();
    if (scan.found) {
      LineReader reader(text.substr(0, scan.end), scan.header.next);
      Line line;
      while (reader.Next(&line)) {
        const ParsedLine parsed = Parse(reader.Text(line));
        // Entries without '=' and keys cut to nothing by a NUL are no keys.
        if (parsed.kind == LineKind::kEntry && parsed.has_value &&
            !parsed.name.empty()) {
          out.Append(parsed.name);
          out.EndString();
        }
      }
    }
    if (out.count() > 0) return out.Finish();
  }

  // Wine copies the default verbatim for a missing file, but strips its
  // quotes as a value's when the file exists.
  if (!file_exists) return CopyString(fallback, buffer, size);
  if (key == nullptr) return CopyUnquoted(fallback, buffer, size);
  const SectionScan scan = ScanSection(text, Trim(section), key);
  if (scan.key_found && scan.key_entry.has_value) {
    return CopyUnquoted(scan.key_entry.value, buffer, size);
  }
  return CopyUnquoted(fallback, buffer, size);
}

bool ProfileWriteString(const std::string& contents, LPCSTR section, LPCSTR key,
                        LPCSTR value, std::string* result) {
  if (result == nullptr) return false;
  if (section == nullptr) {
    // All three null only flushes Wine's cache: nothing to change.
    if (key != nullptr || value != nullptr) return false;
    *result = contents;
    return true;
  }
  const string_view text(contents);
  const string_view section_name = Trim(section);

  if (key == nullptr) {
    const SectionScan scan = ScanSection(text, section_name, nullptr);
    *result = scan.found ? Erase(text, scan.header.begin, scan.end) : contents;
    return true;
  }
  if (value == nullptr) {
    const SectionScan scan = ScanSection(text, section_name, key);
    *result = scan.key_found
                  ? Erase(text, scan.key_line.begin, scan.key_line.next)
                  : contents;
    return true;
  }

  const string_view new_value(value);
  if (!IsWritableSection(section) || !IsWritableKey(key) ||
      HasLineBreak(new_value)) {
    return false;
  }
  const SectionScan scan = ScanSection(text, section_name, key);
  const std::string encoded = EncodeValue(new_value);

  if (scan.key_found) {
    const ParsedLine& entry = scan.key_entry;
    if (entry.has_value && Unquote(entry.value) == new_value) {
      *result = contents;  // as Wine, an unchanged value leaves the file
      return true;
    }
    std::string out;
    out.reserve(text.size() + entry.name.size() + encoded.size() + 1);
    out.append(text.substr(0, scan.key_line.begin));
    out.append(entry.name);  // the key keeps its stored spelling
    out += '=';
    out.append(encoded);
    out.append(text.substr(scan.key_line.end));  // with its own line end
    *result = std::move(out);
    return true;
  }

  const string_view eol = LineEndStyle(text);
  const string_view key_name = Trim(key);
  std::string added;
  if (scan.found) {
    // After the section's last non-blank line, so that blank lines before
    // the next header stay where they are.
    const Line& after = scan.last_nonblank;
    if (after.next == after.end) added.append(eol);  // the file's last line
    added.append(key_name);
    added += '=';
    added.append(encoded);
    added.append(eol);
    std::string out;
    out.reserve(text.size() + added.size());
    out.append(text.substr(0, after.next));
    out.append(added);
    out.append(text.substr(after.next));
    *result = std::move(out);
    return true;
  }

  const bool has_body = text.size() > LineReader::BodyStart(text);
  if (has_body && text.back() != '\n' && text.back() != '\r') {
    added.append(eol);
  }
  added += '[';
  added.append(section_name);
  added += ']';
  added.append(eol);
  added.append(key_name);
  added += '=';
  added.append(encoded);
  added.append(eol);
  *result = contents + added;
  return true;
}

namespace {

std::string LowerCopy(string_view s) {
  std::string lower(s);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

std::string KeyId(string_view lower_section, string_view key) {
  std::string id(lower_section);
  id += '\0';
  for (char c : key) id += LowerAscii(c);
  return id;
}

}  // namespace

ProfileFile::ProfileFile(std::string contents)
    : contents_(std::move(contents)) {
  Rebuild();
}

void ProfileFile::Rebuild() {
  lines_.clear();
  sections_.clear();
  keys_.clear();
  LineReader reader(contents_);
  Line line;
  // Entries before the first header, and those of a repeated section, are
  // never read.
  bool indexed = false;
  std::string section;
  while (reader.Next(&line)) {
    const ParsedLine parsed = Parse(reader.Text(line));
    if (parsed.kind == LineKind::kSection) {
      section = LowerCopy(parsed.name);
      indexed = sections_.emplace(section, lines_.size()).second;
      if (indexed) lines_.push_back({line.begin, line.end, line.next});
    } else if (parsed.kind == LineKind::kEntry && indexed) {
      if (keys_.emplace(KeyId(section, parsed.name), lines_.size()).second) {
        lines_.push_back({line.begin, line.end, line.next});
      }
    }
  }
}

bool ProfileFile::Find(LPCSTR section, LPCSTR key, size_t* header,
                       size_t* line) const {
  const std::string lower_section = LowerCopy(Trim(section));
  auto found = sections_.find(lower_section);
  if (found == sections_.end()) return false;
  *header = found->second;
  auto entry = keys_.find(KeyId(lower_section, Trim(key)));
  *line = entry == keys_.end() ? lines_.size() : entry->second;
  return true;
}

std::string ProfileFile::Excerpt(size_t header, const size_t* line) const {
  const Span& h = lines_[header];
  std::string excerpt = contents_.substr(h.begin, h.next - h.begin);
  if (line != nullptr) {
    const Span& k = lines_[*line];
    excerpt.append(contents_, k.begin, k.next - k.begin);
  }
  return excerpt;
}

DWORD ProfileFile::GetString(LPCSTR section, LPCSTR key, LPCSTR default_value,
                             LPSTR buffer, DWORD size) const {
  if (section == nullptr || key == nullptr) {
    return ProfileGetString(contents_, true, section, key, default_value,
                            buffer, size);
  }
  size_t header = 0;
  size_t line = 0;
  std::string excerpt;
  if (Find(section, key, &header, &line)) {
    excerpt = Excerpt(header, line < lines_.size() ? &line : nullptr);
  }
  return ProfileGetString(excerpt, true, section, key, default_value, buffer,
                          size);
}

DWORD ProfileFile::GetSection(LPCSTR section, LPSTR buffer, DWORD size) const {
  return ProfileGetSection(contents_, section, buffer, size);
}

bool ProfileFile::WriteString(LPCSTR section, LPCSTR key, LPCSTR value) {
  size_t header = 0;
  size_t line = 0;
  // A new value for a key that is there: only the key's line changes.
  if (section != nullptr && key != nullptr && value != nullptr &&
      Find(section, key, &header, &line) && line < lines_.size()) {
    const std::string excerpt = Excerpt(header, &line);
    std::string written;
    if (!ProfileWriteString(excerpt, section, key, value, &written)) {
      return false;
    }
    const Span& h = lines_[header];
    const size_t header_size = h.next - h.begin;
    const string_view new_line = string_view(written).substr(header_size);
    Span& old = lines_[line];
    const ParsedLine before =
        Parse(string_view(contents_).substr(old.begin, old.end - old.begin));
    const size_t new_end = new_line.find_first_of("\r\n");
    const ParsedLine after = Parse(new_line.substr(0, new_end));
    if (written.compare(0, header_size, excerpt, 0, header_size) == 0 &&
        after.kind == LineKind::kEntry &&
        EqualsNoCase(before.name, after.name)) {
      const size_t old_size = old.next - old.begin;
      contents_.replace(old.begin, old_size, new_line);
      old.end = old.begin +
                (new_end == string_view::npos ? new_line.size() : new_end);
      old.next = old.begin + new_line.size();
      // The lines after it move by the change in length.
      for (size_t i = line + 1; i < lines_.size(); ++i) {
        Span& moved = lines_[i];
        moved.begin = moved.begin - old_size + new_line.size();
        moved.end = moved.end - old_size + new_line.size();
        moved.next = moved.next - old_size + new_line.size();
      }
      return true;
    }
  }
  std::string written;
  if (!ProfileWriteString(contents_, section, key, value, &written)) {
    return false;
  }
  contents_ = std::move(written);
  Rebuild();
  return true;
}

}  // namespace ks
