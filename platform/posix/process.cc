// The process entry's needs on Linux: standard descriptors that are open,
// no raw command line, and the words in the ANSI code page.
#include "platform/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/codepage.h"
#include "platform/posix/wine_locale.h"
#include "platform/text.h"

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

std::string HostWordToAnsi(const char* word) {
  if (posix::ProcessLocale().host_names != posix::HostNames::kUtf8) {
    return word;
  }
  const std::string_view utf8(word);
  std::u16string text;
  for (size_t i = 0; i < utf8.size();) {
    char32_t code = 0;
    NextUtf8(utf8, &i, BadUtf8::kLikeWindows, &code);
    AppendUtf16(code, &text);
  }
  return UnicodeToAnsi(text);
}

unsigned long ProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace ks
