// The process entry's needs on Linux: standard descriptors that are open,
// no raw command line, and the words in the ANSI code page.
#include "platform/process.h"

#include <fcntl.h>
#include <iconv.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "formats/codepage.h"
#include "formats/text.h"
#include "platform/posix/wine_locale.h"

namespace ks {

void PrepareProcess() {
  // A closed 0, 1 or 2 is the number the next open() returns: the lock
  // file or client.ver would become "standard error", and trace lines
  // (KSUPDATE_TRACE=-) would be written into them. open() takes the lowest
  // free number, so going up from 0 each one lands where it is missing.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
    // Without /dev/null the hole cannot be filled: better no run at all
    // than one that writes its trace into the installation.
    if (opened != fd) ::_exit(1);
  }
}

const char* RawCommandLine() { return nullptr; }

namespace {

// `word` in `charset` as UTF-16, through iconv; a byte that does not begin
// a character there becomes '?'. Without that conversion, the bytes as
// they are.
std::u16string DecodeCharset(const std::string& charset, std::string_view word,
                             bool* decoded) {
  std::u16string text;
  iconv_t cd = ::iconv_open("UTF-16LE", charset.c_str());
  *decoded = cd != reinterpret_cast<iconv_t>(-1);
  if (!*decoded) return text;
  std::string in(word);
  char* from = in.data();
  size_t left = in.size();
  char out[256];
  while (left > 0) {
    char* to = out;
    size_t room = sizeof out;
    const size_t result = ::iconv(cd, &from, &left, &to, &room);
    for (const char* p = out; p + 1 < to; p += 2) {
      text += static_cast<char16_t>(static_cast<unsigned char>(p[0]) |
                                    static_cast<unsigned char>(p[1]) << 8);
    }
    if (result == static_cast<size_t>(-1) && errno != E2BIG) {
      // EILSEQ or EINVAL (cut at the end): one byte stands for itself.
      text += u'?';
      ++from;
      --left;
    }
  }
  ::iconv_close(cd);
  return text;
}

}  // namespace

std::string HostWordToAnsi(const char* word) {
  const posix::TextLocale& locale = posix::ProcessLocale();
  std::u16string text;
  if (locale.host_names == posix::HostNames::kUtf8) {
    const std::string_view utf8(word);
    for (size_t i = 0; i < utf8.size();) {
      char32_t code = 0;
      NextUtf8(utf8, &i, BadUtf8::kLikeWindows, &code);
      AppendUtf16(code, &text);
    }
  } else if (!locale.argument_charset.empty()) {
    // Wine decodes it from the locale's charset; glibc's tables for those
    // agree with Wine's on the characters a path holds.
    bool decoded = false;
    text = DecodeCharset(locale.argument_charset, word, &decoded);
    if (!decoded) return word;
  } else {
    return word;
  }
  return UnicodeToAnsi(text);
}

unsigned long ProcessId() { return static_cast<unsigned long>(::getpid()); }

RunIdentity ReadRunIdentity() {
  RunIdentity identity;
  const uid_t uid = ::geteuid();
  identity.elevated = uid == 0;
  // A user the password database does not know is still told apart.
  identity.account = "uid " + std::to_string(uid);
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_name != nullptr) {
    identity.account = found->pw_name;
  }
  struct utsname host {};
  identity.computer = ::uname(&host) == 0 ? host.nodename : "?";
  std::vector<char> path(4096);
  const ssize_t length =
      ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  identity.program =
      length > 0 ? std::string(path.data(), static_cast<std::size_t>(length))
                 : "?";
  return identity;
}

}  // namespace ks
