// What a run shows on Linux: the trace channel, a descriptor that is
// written only when it can take the bytes at once, and the texts of error
// codes. No debugger channel.
#include "platform/outputs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/held_dirs.h"
#include "platform/posix/output_dir.h"

namespace ks {

namespace {

class DescriptorOutput : public TraceOutput {
 public:
  DescriptorOutput(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~DescriptorOutput() override {
    if (owned_) ::close(fd_);
  }

  void WriteLine(const std::string& line) override {
    std::string bytes = line + "\n";
    const char* data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
      // Standard error is shared with other processes, so it stays a
      // blocking descriptor; poll() tells whether a write gets through now.
      // A pipe that polls writable has room for PIPE_BUF bytes at least, so
      // a write of that many never waits: a line up to that size goes whole
      // or not at all, a longer one may be cut where its reader fell behind.
      struct pollfd ready {};
      ready.fd = fd_;
      ready.events = POLLOUT;
      int polled = ::poll(&ready, 1, 0);
      if (polled < 0 && errno == EINTR) continue;
      if (polled != 1 || (ready.revents & POLLOUT) == 0 ||
          (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return;
      }
      size_t chunk = left < PIPE_BUF ? left : PIPE_BUF;
      ssize_t written = ::write(fd_, data, chunk);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;
      data += written;
      left -= static_cast<size_t>(written);
    }
  }

 private:
  int fd_;
  bool owned_;
};

std::unique_ptr<TraceOutput> OpenHostTraceOutput(const char* name,
                                                 bool* refused) {
  *refused = false;
  if (name == nullptr || *name == '\0') return nullptr;
  // A reader that goes away must not end the run: a write to a pipe
  // without a reader then fails with EPIPE instead of raising SIGPIPE.
  // Nothing else in the program writes to pipes.
  ::signal(SIGPIPE, SIG_IGN);
  if (std::strcmp(name, "-") == 0) {
    return std::make_unique<DescriptorOutput>(STDERR_FILENO, false);
  }
  // Reached without a link, its directory made when missing.
  posix::Fd dir;
  std::string leaf;
  const posix::OutputDir found = posix::OpenOutputDir(name, &dir, &leaf);
  if (found != posix::OutputDir::kHeld || leaf.empty()) {
    *refused = found == posix::OutputDir::kRefused;
    return nullptr;
  }
  // O_NONBLOCK: a FIFO that nobody reads fails at once (ENXIO) instead of
  // waiting for a reader, and one whose reader stops takes no more bytes
  // instead of stopping the writer. O_NOFOLLOW: a link put in the path's
  // place (in /tmp, say) would send our lines into whatever file it names.
  int fd = ::openat(dir.get(), leaf.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK |
                        O_NOCTTY | O_NOFOLLOW,
                    0666);
  if (fd < 0) {
    *refused = errno == ELOOP;
    return nullptr;
  }
  // A second hard link could be another user's file by another name, and a
  // file that another user made there is theirs to read and to fill.
  struct stat st {};
  if (::fstat(fd, &st) != 0 ||
      !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) ||
      st.st_nlink > 1 || st.st_uid != posix::RunUser()) {
    ::close(fd);
    *refused = true;
    return nullptr;
  }
  return std::make_unique<DescriptorOutput>(fd, true);
}

class SystemOutputs : public Outputs {
 public:
  void DebugOutput(const char* /*line*/) override {}
  std::unique_ptr<TraceOutput> OpenTraceOutput(const char* name,
                                               bool* refused) override {
    return OpenHostTraceOutput(name, refused);
  }
  std::string SystemErrorText(DWORD code) override {
    char buffer[256] = {};
    // The GNU strerror_r: the text may be its own, not the buffer.
    return ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  }
  bool ExitStatusHoldsWholeCodes() override { return false; }
  void LogRunEvent(const RunEvent& event) override {
    std::string text;
    for (const std::string& line : event.lines) {
      text += (text.empty() ? "" : "; ") + line;
    }
    const int priority = event.kind == EventKind::kError     ? LOG_ERR
                         : event.kind == EventKind::kWarning ? LOG_WARNING
                                                             : LOG_INFO;
    ::openlog("ksupdate", LOG_PID, LOG_USER);
    ::syslog(priority, "%s", text.c_str());
    ::closelog();
  }
  bool LogsRunsByDefault() override { return false; }
};

}  // namespace

Outputs* DefaultOutputs() {
  static SystemOutputs outputs;
  return &outputs;
}

}  // namespace ks
