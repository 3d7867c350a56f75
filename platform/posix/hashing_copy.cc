#include "platform/posix/hashing_copy.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/write_all.h"

namespace ks::posix {

namespace {

// The copy goes in chunks of 1 MiB (a multiple of any page size); a second
// thread hashes each chunk once it is in the file, while the next one is
// copied. SHA-256 runs at about the speed of the copy itself, so hashing
// alongside rather than after nearly halves what the check costs.
constexpr off_t kChunk = 1 << 20;

// Copies `size` bytes from the offsets of `in` and `out` on: the kernel's
// copy where it works, else through a buffer. False (errno set) on failure
// or when the source ends early.
bool CopyChunk(int in, int out, off_t size) {
  while (size > 0) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr,
                                        static_cast<size_t>(size), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      size -= n;
      continue;
    }
    if (n == 0) {
      errno = EIO;  // the source is shorter than it was
      return false;
    }
    // Not across these file systems: the rest through a buffer.
    std::vector<char> buffer(1 << 20);
    while (size > 0) {
      const ssize_t got = ::read(in, buffer.data(),
                                 static_cast<size_t>(std::min<off_t>(
                                     size, static_cast<off_t>(buffer.size()))));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        if (got == 0) errno = EIO;
        return false;
      }
      if (!WriteAll(out, buffer.data(), static_cast<size_t>(got))) {
        return false;
      }
      size -= got;
    }
  }
  return true;
}

// Hashes the chunks of the copy in order, each once the copying thread has
// said it is there, on a thread of its own; they are read from a shared
// mapping of the new file, so no byte is copied again.
class ChunkHasher {
 public:
  explicit ChunkHasher(const unsigned char* file)
      : file_(file), worker_([this] { Run(); }) {}
  ChunkHasher(const ChunkHasher&) = delete;
  ChunkHasher& operator=(const ChunkHasher&) = delete;
  ~ChunkHasher() { Close(); }

  // The file now holds `end` bytes.
  void CopiedTo(off_t end) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      copied_ = end;
    }
    more_.notify_one();
  }

  // Waits for the hashing of every byte copied; true with their digest.
  bool Digest(Sha256Digest* digest) {
    Close();
    return hash_.Finish(digest);
  }

 private:
  void Close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) return;
      closed_ = true;
    }
    more_.notify_one();
    worker_.join();
  }

  void Run() {
    off_t hashed = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      more_.wait(lock, [&] { return closed_ || copied_ > hashed; });
      const off_t end = copied_;
      if (end == hashed) return;  // closed, and all hashed
      lock.unlock();
      hash_.Update(file_ + hashed, static_cast<size_t>(end - hashed));
      lock.lock();
      hashed = end;
    }
  }

  const unsigned char* const file_;
  Sha256 hash_;  // the worker's until it ends
  std::mutex mutex_;
  std::condition_variable more_;
  off_t copied_ = 0;
  bool closed_ = false;
  std::thread worker_;  // last: started once everything above is made
};

// One chunk or less: through a buffer, hashed between the read and the
// write. Nothing to overlap with, and a mapping, its faults and a second
// thread would cost more than the bytes (a patch of a thousand small
// modules pays them a thousand times).
bool CopyAndHashSmall(int in, int out, off_t size, Sha256Digest* digest) {
  std::vector<char> buffer(static_cast<size_t>(size));
  size_t got = 0;
  while (got < buffer.size()) {
    const ssize_t n = ::read(in, buffer.data() + got, buffer.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // the source is shorter than it was
      return false;
    }
    got += static_cast<size_t>(n);
  }
  Sha256 hash;
  hash.Update(buffer.data(), buffer.size());
  if (!hash.Finish(digest)) {
    errno = EIO;
    return false;
  }
  return WriteAll(out, buffer.data(), buffer.size());
}

}  // namespace

bool CopyAndHash(int in, int out, off_t size, Sha256Digest* digest) {
  if (size == 0) {
    Sha256 hash;
    if (hash.Finish(digest)) return true;
    errno = EIO;
    return false;
  }
  if (size <= kChunk) return CopyAndHashSmall(in, out, size, digest);
  // One mapping covers the whole file: a size beyond the address space (a
  // 32-bit build) is no copy, never a mapping of its wrapped size.
  if constexpr (sizeof(size_t) < sizeof(off_t)) {
    if (size > static_cast<off_t>(std::numeric_limits<size_t>::max())) {
      errno = EFBIG;
      return false;
    }
  }
  // The file at its full size first, so that one mapping covers it while it
  // fills; a failed copy leaves holes that nobody reads.
  if (::ftruncate(out, size) != 0) return false;
  void* mapped =
      ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, out, 0);
  if (mapped == MAP_FAILED) return false;
  const auto* file = static_cast<const unsigned char*>(mapped);
  bool ok = true;
  {
    ChunkHasher hasher(file);
    for (off_t done = 0; ok && done < size;) {
      const off_t n = std::min(kChunk, size - done);
      ok = CopyChunk(in, out, n);
      if (!ok) break;
      // The chunk's pages are mapped here, so that the hashing thread, which
      // decides how long the copy takes, does not stop to fault them in.
      ::madvise(const_cast<unsigned char*>(file) + done, static_cast<size_t>(n),
                MADV_POPULATE_READ);
      done += n;
      hasher.CopiedTo(done);
    }
    if (ok && !hasher.Digest(digest)) {
      errno = EIO;
      ok = false;
    }
  }
  const int error = errno;
  ::munmap(mapped, static_cast<size_t>(size));
  errno = error;
  return ok;
}

}  // namespace ks::posix
