// Profile (INI) files read and written as Wine's profile functions do, with
// two deliberate differences that follow Windows: a write changes only the
// line it writes (or adds one), keeping every other byte and the line-end
// style, and a write replaces the file atomically.
//
// One set of rules for every provider: the functions work on a file's
// whole contents, and the provider reads the file and stores the result
// with its own file I/O, atomically.
//
// How the text is read: lines end at CR, LF or CRLF, and a UTF-8 BOM at the
// start is skipped. Names and values are trimmed of blanks (isspace and
// Ctrl-Z); a NUL byte ends a name or value. Section and key names match
// case-insensitively (ASCII), the given names trimmed too. A header is a
// line "[name]" (the name runs to the last ']'); other non-blank lines are
// comments (first char ';') or entries "key=value" or a bare "key". Lines
// before the first header belong to no section, not even to "" (which
// names a "[]" header). Of duplicate sections only the first is read and
// written; of duplicate keys in it, only the first.
#ifndef KSUPDATE_PLATFORM_PROFILE_H_
#define KSUPDATE_PLATFORM_PROFILE_H_

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/win32_types.h"

namespace ks {

// GetPrivateProfileSectionA on the text of a profile file: the entries of
// the section as "key=value" (or the bare key), each zero-terminated, then
// one more zero; comments and blank lines are left out. Returns the bytes
// written without the final zero. When the list does not fit, the buffer
// holds its first size - 2 bytes and two zeros, and the result is size - 2.
// A missing section (or a null one) gives an empty list and 0.
DWORD ProfileGetSection(const std::string& contents, LPCSTR section,
                        LPSTR buffer, DWORD size);

// GetPrivateProfileStringA on the text of a profile file; `file_exists`
// false answers as for a missing file. Copies the value of `key` in
// `section`, less one pair of matching quotes (" or '), truncated to
// size - 1 bytes and zero-terminated; returns the bytes copied. A missing
// file, section or key, or a key without '=', gives `default_value` (null
// is "") less its trailing spaces, quotes stripped as from a value unless
// the file is missing. A null `key` lists the section's key names (entries
// with '=') as ProfileGetSection lists entries, or gives the default when
// there are none; a null `section` lists the section names. Size 0 or a
// null buffer: returns 0 and writes nothing.
DWORD ProfileGetString(const std::string& contents, bool file_exists,
                       LPCSTR section, LPCSTR key, LPCSTR default_value,
                       LPSTR buffer, DWORD size);

// The text of a profile file after WritePrivateProfileStringA(section, key,
// value). Only the line written changes or is added, or the deleted lines
// go; all other bytes stay as they were. A replaced entry becomes "key=value"
// with the key as spelt in the file and the line's own line end. A new key goes
// after the last non-blank line of the section; a new section, "[section]"
// and the entry, at the end of the file. New lines end as the file's first
// line does (CRLF when it has none). A value that would not read back as
// given (blanks at an end, or quotes around it) is written inside "...".
// An unchanged value leaves the file as it is. A null `value` deletes the
// key's line, a null `key` the section's header and lines; deleting what is
// not there succeeds without a change. Returns false, leaving *result
// unspecified, when the write is refused: a null section (unless key and
// value are null too), a CR or LF anywhere, a section name with ']', or a
// key with '=' or starting with '[' or ';'.
bool ProfileWriteString(const std::string& contents, LPCSTR section, LPCSTR key,
                        LPCSTR value, std::string* result);

// The text of one profile file with an index of its sections and keys, so
// that reading or replacing one key costs a lookup rather than a scan of the
// file. Every call answers exactly as the function above of the same name on
// contents(): a read of one key depends only on the section's header and
// the key's first line in it, so the index points to those lines and the
// call runs on them alone; a write that replaces a key's value changes only
// that line, which is spliced back.
class ProfileFile {
 public:
  explicit ProfileFile(std::string contents);

  const std::string& contents() const { return contents_; }

  // ProfileGetString on contents(), of a file that exists.
  DWORD GetString(LPCSTR section, LPCSTR key, LPCSTR default_value,
                  LPSTR buffer, DWORD size) const;
  // ProfileGetSection on contents().
  DWORD GetSection(LPCSTR section, LPSTR buffer, DWORD size) const;
  // ProfileWriteString on contents(), which becomes its result. False, with
  // nothing changed, when the write is refused.
  bool WriteString(LPCSTR section, LPCSTR key, LPCSTR value);

 private:
  // A line as byte offsets into contents_: its text ends at `end`, its line
  // end at `next`.
  struct Span {
    size_t begin = 0;
    size_t end = 0;
    size_t next = 0;
  };

  void Rebuild();
  // The header of the first section named `section` and the first line of
  // `key` in it (null when missing), as indices into lines_; false when there
  // is no such section.
  bool Find(LPCSTR section, LPCSTR key, size_t* header, size_t* line) const;
  // The header and the key line, which are all that a read of the key sees.
  std::string Excerpt(size_t header, const size_t* line) const;

  std::string contents_;
  // The headers of the first section of each name and the first line of
  // each key in it, in file order.
  std::vector<Span> lines_;
  // Lower-case section name to its header in lines_.
  std::unordered_map<std::string, size_t> sections_;
  // Lower-case section name, '\0', lower-case key to its line in lines_.
  std::unordered_map<std::string, size_t> keys_;
};

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_PROFILE_H_
