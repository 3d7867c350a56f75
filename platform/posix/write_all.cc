#include "platform/posix/write_all.h"

#include <unistd.h>

#include <cerrno>

namespace ks::posix {

bool WriteAll(int fd, const char* data, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t written =
        offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
    if (offset >= 0) offset += written;
  }
  return true;
}

}  // namespace ks::posix
