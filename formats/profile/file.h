// The text of one profile file with an index of its sections and keys, so
// that reading or replacing one key costs a lookup rather than a scan of the
// file: what formats/profile/store.h keeps between calls.
#ifndef KSUPDATE_FORMATS_PROFILE_FILE_H_
#define KSUPDATE_FORMATS_PROFILE_FILE_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "formats/profile/calls.h"
#include "formats/win32_types.h"

namespace ks::profile {

// Every call answers exactly as the function of formats/profile/profile.h of
// the same name on contents(): a read of one key depends only on the section's
// header and the key's first line in it, so the index points to those lines
// and the call runs on them alone; a write that replaces a key's value in
// an ANSI file changes only that line, which is spliced back.
class File {
 public:
  explicit File(std::string contents);

  const std::string& contents() const { return contents_; }
  // Moves contents() out, for a caller that keeps the bytes and drops the
  // file: no second copy of them.
  std::string TakeContents() { return std::move(contents_); }

  // GetString on contents(), of a file that exists.
  DWORD GetString(LPCSTR section, LPCSTR key, LPCSTR default_value,
                  LPSTR buffer, DWORD size) const;
  // GetSection on contents().
  DWORD GetSection(LPCSTR section, LPSTR buffer, DWORD size) const;
  // ForEachListedKey on contents().
  void ForEachListedKey(
      LPCSTR section, const std::function<bool(std::string_view)>& visit) const;
  // WriteString on contents(), which becomes its result. False, with
  // nothing changed, when the write is refused. `changed`, when not null,
  // is set to whether contents() changed.
  bool WriteString(LPCSTR section, LPCSTR key, LPCSTR value,
                   bool* changed = nullptr);
  // Every write of `writes` in order, as WriteString makes it; *changed
  // says whether contents() changed. False when one is refused (the ones
  // before it stay made: the caller drops the file).
  bool WriteStrings(const std::vector<ProfileWrite>& writes, bool* changed);

 private:
  // A line as offsets into the file's text (the bytes, or the decoded
  // units of a Unicode file): its text ends at `end`, its line end at
  // `next`.
  struct Span {
    size_t begin = 0;
    size_t end = 0;
    size_t next = 0;
  };
  // The decoded text of a Unicode file.
  struct Unicode;

  void Rebuild();
  // WriteString; with `stale`, the index may be left stale for the next
  // write of a batch (*stale set), which then writes on the text alone.
  bool Write(LPCSTR section, LPCSTR key, LPCSTR value, bool* changed,
             bool* stale);
  template <typename Unit>
  void Index(std::basic_string_view<Unit> text);
  // The header of the first section named `section` and the first line of
  // `key` in it (lines_.size() when missing), as indices into lines_; false
  // when there is no such section.
  template <typename Unit>
  bool Find(LPCSTR section, LPCSTR key, size_t* header, size_t* line) const;
  template <typename Unit>
  DWORD IndexedString(std::basic_string_view<Unit> text, LPCSTR section,
                      LPCSTR key, LPCSTR default_value, LPSTR buffer,
                      DWORD size) const;

  std::string contents_;
  // Null for an ANSI file, whose text is contents_.
  std::shared_ptr<Unicode> unicode_;
  // The headers of the first section of each name and the first line of
  // each key in it, in file order.
  std::vector<Span> lines_;
  // Section id (its lower-case name) to its header in lines_.
  std::unordered_map<std::string, size_t> sections_;
  // Section id, a zero unit, lower-case key to its line in lines_.
  std::unordered_map<std::string, size_t> keys_;
};

}  // namespace ks::profile

#endif  // KSUPDATE_FORMATS_PROFILE_FILE_H_
