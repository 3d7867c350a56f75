// Copying a file's bytes while they are hashed.
#ifndef KSUPDATE_PLATFORM_POSIX_HASHING_COPY_H_
#define KSUPDATE_PLATFORM_POSIX_HASHING_COPY_H_

#include <sys/types.h>

#include "platform/sha256.h"

namespace ks::posix {

// Copies `size` bytes from the file offset of `in` on into `out`, a new,
// empty file opened for reading and writing, and hashes them: true with
// their SHA-256 in *digest. False when a read or write fails, the source
// ends early, or the hash fails; errno then tells why (EIO for a short
// source or a failed hash). Up to 1 MiB the bytes go through a buffer and
// are hashed there; past it, they are hashed as `out` then holds them,
// through a shared mapping of it, by a second thread, chunk by chunk while
// this one copies the next. Nobody else may write `out` meanwhile: a file
// cut under a mapping kills the process that reads it.
bool CopyAndHash(int in, int out, off_t size, Sha256Digest* digest);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_HASHING_COPY_H_
