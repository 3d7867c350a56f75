// Profile (INI) files read and written as Wine's profile functions do, with
// deliberate differences that follow Windows or keep a manifest safe: a
// write changes only the line it writes (or adds one), keeping every other
// byte and the line-end style, replaces the file atomically, and writes
// only what reads back as written.
//
// One set of rules for every provider: the functions work on a file's
// whole contents, its raw bytes; formats/profile/store.h reads and
// replaces the file through the provider's own file I/O, atomically.
// Beneath them: formats/profile/encoding.h (the bytes as text),
// formats/profile/dialect.h (the rules on that text) and
// formats/profile/file.h (a file's text kept indexed).
//
// How the text is read: a file that starts with a UTF-16 byte-order mark
// (little or big endian) or a UTF-8 one is Unicode and answers in the ANSI
// code page (formats/codepage.h); a write puts its line in the file's own
// encoding. Any other file is read as its bytes. Lines end at CR, LF or
// CRLF. Names and values are trimmed of blanks (ASCII isspace and Ctrl-Z),
// then cut at a NUL. Section and key names match case-insensitively in
// their ASCII letters only, the given names trimmed too. A header is a
// line "[name]" (the name runs to the last ']'); the lines before the
// first header are a section named "", which a "[]" header only repeats.
// Other non-blank lines are entries "key=value" or a bare "key"; an entry
// whose key starts with ';' is a comment: found by its key, but never
// listed. Of duplicate sections only the first is read and written; of
// duplicate keys in it, only the first. An entry with an empty key is
// dropped when the entry kept before it in its section has an empty key
// too.
#ifndef KSUPDATE_FORMATS_PROFILE_PROFILE_H_
#define KSUPDATE_FORMATS_PROFILE_PROFILE_H_

#include <functional>
#include <string>
#include <string_view>

#include "formats/win32_types.h"

namespace ks::profile {

// GetPrivateProfileSectionA on the text of a profile file: the entries of
// the section as "key=value" (or the bare key), each zero-terminated, then
// one more zero; comments, blank lines and entries with neither key nor
// '=' are left out. The section's name is matched untrimmed. Returns the
// bytes written without the final zero. When the list does not fit, the
// buffer holds its first size - 2 bytes and two zeros, and the result is
// size - 2. A missing section (or a null one) gives an empty list and 0.
DWORD GetSection(const std::string& contents, LPCSTR section, LPSTR buffer,
                 DWORD size);

// The key of each entry that GetSection lists, in ANSI, in file order,
// until `visit` returns false, read where it lies in `contents` (nothing is
// indexed or copied but a Unicode file's decoded text).
void ForEachListedKey(const std::string& contents, LPCSTR section,
                      const std::function<bool(std::string_view)>& visit);

// GetPrivateProfileStringA on the text of a profile file; `file_exists`
// false answers as for a missing file. Copies the value of `key` in
// `section`, less one pair of matching quotes (" or '), truncated to
// size - 1 bytes and zero-terminated; returns the bytes copied. A missing
// file, section or key, or a key without '=', gives `default_value` (null
// is "") less its trailing spaces, quotes stripped as from a value unless
// the file is missing. A null `key` lists the key names of the section
// (matched untrimmed) that have a '=', an empty one as an empty string, as
// GetSection lists entries; or gives the default when the list's
// first string is empty (no such key, no room, or the empty key first). A
// null `section` lists the section names. Size 0 or a null buffer: returns
// 0 and writes nothing.
DWORD GetString(const std::string& contents, bool file_exists, LPCSTR section,
                LPCSTR key, LPCSTR default_value, LPSTR buffer, DWORD size);

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
// value are null too), a CR or LF in the value or in the trimmed section or
// key, a key with '=', a key starting with '[' on a line that would hold a
// ']', or an ANSI file that would start with a byte-order mark (a key
// written first). These, and a
// value that Wine would trim or unquote, are where a write deliberately
// differs from Wine's, which writes them as given.
bool WriteString(const std::string& contents, LPCSTR section, LPCSTR key,
                 LPCSTR value, std::string* result);

}  // namespace ks::profile

#endif  // KSUPDATE_FORMATS_PROFILE_PROFILE_H_
