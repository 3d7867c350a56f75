// Writing a whole buffer to a file descriptor.
#ifndef KSUPDATE_PLATFORM_POSIX_WRITE_ALL_H_
#define KSUPDATE_PLATFORM_POSIX_WRITE_ALL_H_

#include <sys/types.h>

#include <cstddef>

namespace ks::posix {

// Writes the `size` bytes at `data` to `fd`: at `offset` on, leaving the
// file offset alone, or at the file offset (and past it) when `offset` is
// negative. Short and interrupted writes are carried on. Returns true when
// every byte was written; false on any other failure, with what was
// written until then left in the file.
bool WriteAll(int fd, const char* data, size_t size, off_t offset = -1);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_WRITE_ALL_H_
