#include "formats/profile/file.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "formats/profile/dialect.h"
#include "formats/profile/encoding.h"
#include "formats/profile/profile.h"
#include "formats/text.h"

namespace ks::profile {
namespace {

using profile::LineKind;
using profile::ParsedLine;
using std::string_view;
using std::u16string_view;

template <typename Unit>
using View = std::basic_string_view<Unit>;

// The lower-case form of a name, as the bytes of its units, for the index.
void AppendNameId(string_view name, std::string* id) {
  for (char c : name) *id += LowerAscii(c);
}
void AppendNameId(u16string_view name, std::string* id) {
  for (char16_t c : name) {
    const char16_t lower = LowerAscii(c);
    *id += static_cast<char>(lower >> 8);
    *id += static_cast<char>(lower & 0xFF);
  }
}

// A section's id and a key's in it; names hold no NUL unit, so a zero unit
// tells where the section ends.
template <typename Unit>
std::string KeyId(const std::string& section_id, View<Unit> key) {
  std::string id;
  // One allocation: a key may be as long as the file.
  id.reserve(section_id.size() + sizeof(Unit) * (1 + key.size()));
  id = section_id;
  id.append(sizeof(Unit), '\0');
  AppendNameId(key, &id);
  return id;
}

template <typename Unit>
std::string SectionId(View<Unit> section) {
  std::string id;
  AppendNameId(section, &id);
  return id;
}

}  // namespace

struct File::Unicode {
  profile::Decoded decoded;
};

File::File(std::string contents) : contents_(std::move(contents)) { Rebuild(); }

void File::Rebuild() {
  lines_.clear();
  sections_.clear();
  keys_.clear();
  unicode_.reset();
  size_t bom = 0;
  const profile::Encoding encoding = profile::Detect(contents_, &bom);
  if (encoding == profile::Encoding::kAnsi) {
    Index<char>(contents_);
    return;
  }
  unicode_ = std::make_shared<Unicode>();
  unicode_->decoded = profile::Decode(contents_, encoding, bom);
  Index<char16_t>(unicode_->decoded.text);
}

template <typename Unit>
void File::Index(std::basic_string_view<Unit> text) {
  profile::LineReader<Unit> reader(text);
  profile::Line line;
  // The first section, named "", has an empty header at the start; the
  // entries of a repeated section are never read.
  sections_.emplace(std::string(), 0);
  lines_.push_back({0, 0, 0});
  bool indexed = true;
  std::string section;
  while (reader.Next(&line)) {
    const ParsedLine<Unit> parsed = profile::Parse(reader.Text(line));
    if (parsed.kind == LineKind::kSection) {
      section = SectionId(parsed.name);
      indexed = sections_.emplace(section, lines_.size()).second;
      if (indexed) lines_.push_back({line.begin, line.end, line.next});
    } else if (parsed.kind == LineKind::kEntry && indexed) {
      if (keys_.emplace(KeyId(section, parsed.name), lines_.size()).second) {
        lines_.push_back({line.begin, line.end, line.next});
      }
    }
  }
}

template <typename Unit>
bool File::Find(LPCSTR section, LPCSTR key, size_t* header,
                size_t* line) const {
  const std::string section_id =
      SectionId(View<Unit>(profile::CallerName<Unit>(section)));
  auto found = sections_.find(section_id);
  if (found == sections_.end()) return false;
  *header = found->second;
  const std::string id =
      KeyId(section_id, View<Unit>(profile::CallerName<Unit>(key)));
  auto entry = keys_.find(id);
  *line = entry == keys_.end() ? lines_.size() : entry->second;
  return true;
}

template <typename Unit>
DWORD File::IndexedString(std::basic_string_view<Unit> text, LPCSTR section,
                          LPCSTR key, LPCSTR default_value, LPSTR buffer,
                          DWORD size) const {
  if (buffer == nullptr || size == 0) return 0;
  size_t header = 0;
  size_t line = 0;
  if (!Find<Unit>(section, key, &header, &line) || line == lines_.size()) {
    return profile::AnswerString<Unit>(nullptr, default_value, buffer, size);
  }
  const Span& span = lines_[line];
  const ParsedLine<Unit> entry =
      profile::Parse(text.substr(span.begin, span.end - span.begin));
  return profile::AnswerString(&entry, default_value, buffer, size);
}

DWORD File::GetString(LPCSTR section, LPCSTR key, LPCSTR default_value,
                      LPSTR buffer, DWORD size) const {
  if (section == nullptr || key == nullptr) {
    return profile::GetString(contents_, true, section, key, default_value,
                              buffer, size);
  }
  if (unicode_ != nullptr) {
    return IndexedString<char16_t>(unicode_->decoded.text, section, key,
                                   default_value, buffer, size);
  }
  return IndexedString<char>(contents_, section, key, default_value, buffer,
                             size);
}

DWORD File::GetSection(LPCSTR section, LPSTR buffer, DWORD size) const {
  if (unicode_ != nullptr) {
    return profile::ReadSection<char16_t>(unicode_->decoded.text, section,
                                          buffer, size);
  }
  return profile::ReadSection<char>(contents_, section, buffer, size);
}

void File::ForEachListedKey(
    LPCSTR section, const std::function<bool(std::string_view)>& visit) const {
  if (unicode_ != nullptr) {
    profile::ForEachListedKey<char16_t>(unicode_->decoded.text, section, visit);
    return;
  }
  profile::ForEachListedKey<char>(contents_, section, visit);
}

bool File::WriteString(LPCSTR section, LPCSTR key, LPCSTR value,
                       bool* changed) {
  bool unused = false;
  return Write(section, key, value, changed != nullptr ? changed : &unused,
               nullptr);
}

bool File::WriteStrings(const std::vector<ProfileWrite>& writes,
                        bool* changed) {
  *changed = false;
  bool stale = false;
  for (const ProfileWrite& write : writes) {
    bool one = false;
    if (!Write(write.section.c_str(), write.key.c_str(),
               write.value ? write.value->c_str() : nullptr, &one, &stale)) {
      if (stale) Rebuild();
      return false;
    }
    *changed = *changed || one;
  }
  if (stale) Rebuild();
  return true;
}

bool File::Write(LPCSTR section, LPCSTR key, LPCSTR value, bool* changed,
                 bool* stale) {
  *changed = false;
  size_t header = 0;
  size_t line = 0;
  // A new value for a key of an ANSI file that is there, not on its first
  // line (which the write must keep from starting with a byte-order mark):
  // only the key's line changes. The write of the header and that line alone
  // makes the same change, since a write finds the key as a read does.
  if (unicode_ == nullptr && (stale == nullptr || !*stale) &&
      section != nullptr && key != nullptr && value != nullptr &&
      Find<char>(section, key, &header, &line) && line < lines_.size() &&
      lines_[line].begin > 0) {
    const Span& h = lines_[header];
    Span& old = lines_[line];
    const size_t header_size = h.next - h.begin;
    std::string excerpt = contents_.substr(h.begin, header_size);
    excerpt.append(contents_, old.begin, old.next - old.begin);
    profile::Edit<char> edit;
    if (!profile::WriteEdit<char>(excerpt, section, key, value, &edit)) {
      return false;
    }
    if (!edit.changed) return true;
    if (edit.begin == header_size &&
        edit.end == header_size + (old.end - old.begin)) {
      // A changed value is a changed line: the line read back would
      // otherwise give the value asked for.
      const size_t old_size = old.end - old.begin;
      contents_.replace(old.begin, old_size, edit.text);
      old.end = old.begin + edit.text.size();
      old.next = old.next - old_size + edit.text.size();
      // The lines after it move by the change in length.
      for (size_t i = line + 1; i < lines_.size(); ++i) {
        Span& moved = lines_[i];
        moved.begin = moved.begin - old_size + edit.text.size();
        moved.end = moved.end - old_size + edit.text.size();
        moved.next = moved.next - old_size + edit.text.size();
      }
      *changed = true;
      return true;
    }
  }
  std::string written;
  if (unicode_ != nullptr) {
    profile::Edit<char16_t> edit;
    if (!profile::WriteEdit<char16_t>(unicode_->decoded.text, section, key,
                                      value, &edit)) {
      return false;
    }
    if (!edit.changed) return true;
    written = profile::ReplaceUnits(contents_, unicode_->decoded, edit.begin,
                                    edit.end, edit.text);
    // A key written first must not make an ANSI file look Unicode.
    size_t bom = 0;
    if (profile::Detect(written, &bom) != unicode_->decoded.encoding) {
      return false;
    }
  } else if (!profile::WriteString(contents_, section, key, value, &written)) {
    return false;
  }
  // An edit may change nothing: the section "" deleted from a file that
  // starts with a header.
  if (written == contents_) return true;
  contents_ = std::move(written);
  *changed = true;
  // In a batch, an ANSI text is written on as text and indexed once at the
  // end: a thousand new keys would otherwise index the file a thousand
  // times. A text that now reads as Unicode is indexed at once.
  size_t bom = 0;
  if (stale != nullptr && unicode_ == nullptr &&
      profile::Detect(contents_, &bom) == profile::Encoding::kAnsi) {
    *stale = true;
    return true;
  }
  Rebuild();
  return true;
}

}  // namespace ks::profile
