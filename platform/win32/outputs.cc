// What a run shows on Windows: the debugger channel and the KSUPDATE_TRACE
// channel, neither of which may make the run wait, and the texts of error
// codes.
//
// OutputDebugStringA hands each line to whoever listens for debug output
// and waits for that listener to take it: with a listener that stopped
// answering, every line costs its full timeout, 10 s on Windows and under
// Wine alike (measured under Wine 8: 10.0 s a line). Microsoft documents
// only that the call does nothing without a debugger or a listener, not how
// long it may wait, so we rely on nothing about it: the lines go through a
// thread of their own, which alone may wait. A pipe or console channel can
// block a writer as long as its reader does not read, so it gets such a
// thread too; a disk file takes the bytes at once and is written directly.
//
// Our declarations first; <windows.h> after them, so that its macros cannot
// touch them.
#include "platform/outputs.h"
// clang-format off
#include <windows.h>
#include <process.h>
// clang-format on

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/files.h"
#include "platform/win32/installation.h"

namespace ks {

namespace {

// Lines waiting for their sending thread beyond this many bytes are
// dropped: a listener that does not keep up must not fill our memory.
constexpr size_t kMaxQueuedBytes = 1 << 20;

// One thread that sends lines, in the order given, to the debugger (no
// handle) or to a pipe or console handle. Never destroyed: at the end of
// the process it may still wait inside a call, and it must find its data
// there until the process is gone.
class LineSender {
 public:
  explicit LineSender(HANDLE target) : target_(target) {
    ::InitializeCriticalSection(&lock_);
    wake_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    idle_ = ::CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (wake_ != nullptr && idle_ != nullptr) {
      thread_ = reinterpret_cast<HANDLE>(
          ::_beginthreadex(nullptr, 0, &LineSender::Main, this, 0, nullptr));
    }
  }

  // Never waits: takes the line, or drops it when the thread could not be
  // made or is too far behind.
  void Post(std::string line) {
    if (thread_ == nullptr) return;
    bool wake = false;
    ::EnterCriticalSection(&lock_);
    if (queued_bytes_ + line.size() <= kMaxQueuedBytes) {
      queued_bytes_ += line.size();
      queue_.push_back(std::move(line));
      if (idle_signalled_) {
        ::ResetEvent(idle_);
        idle_signalled_ = false;
      }
      wake = sleeping_;
      sleeping_ = false;
    }
    ::LeaveCriticalSection(&lock_);
    if (wake) ::SetEvent(wake_);
  }

  // Waits until every line posted so far is sent, or until the tick count
  // `deadline` has passed.
  void Drain(DWORD deadline) const {
    if (thread_ == nullptr) return;
    DWORD now = ::GetTickCount();
    // A deadline already passed shows as a difference beyond the budget.
    DWORD left = deadline - now;
    if (left > kDebugOutputExitBudgetMs) return;
    ::WaitForSingleObject(idle_, left);
  }

 private:
  static unsigned __stdcall Main(void* self) {
    static_cast<LineSender*>(self)->Loop();
    return 0;
  }

  void Loop() {
    std::string line;
    for (;;) {
      ::EnterCriticalSection(&lock_);
      if (queue_.empty()) {
        if (!idle_signalled_) {
          ::SetEvent(idle_);
          idle_signalled_ = true;
        }
        sleeping_ = true;
        ::LeaveCriticalSection(&lock_);
        ::WaitForSingleObject(wake_, INFINITE);
        continue;
      }
      line.swap(queue_.front());
      queue_.pop_front();
      queued_bytes_ -= line.size();
      ::LeaveCriticalSection(&lock_);
      Send(line);
    }
  }

  void Send(const std::string& line) const {
    if (target_ == nullptr) {
      ::OutputDebugStringA(line.c_str());
      return;
    }
    ::DWORD written = 0;
    ::WriteFile(target_, line.data(), static_cast<::DWORD>(line.size()),
                &written, nullptr);
  }

  HANDLE target_;
  CRITICAL_SECTION lock_;
  // The events change only when their state does: under Wine each
  // SetEvent or ResetEvent is a round trip to its server, and while the
  // listener lags every line cost the run two of them. wake_ is set after
  // the lock is left; being auto-reset, it stays set until the thread's
  // next wait even when that wait comes later.
  HANDLE wake_ = nullptr;       // auto-reset: lines are waiting
  HANDLE idle_ = nullptr;       // manual-reset: every line posted is sent
  bool idle_signalled_ = true;  // idle_ is set; under lock_
  bool sleeping_ = false;       // the thread waits, or will, for wake_
  HANDLE thread_ = nullptr;
  std::deque<std::string> queue_;
  size_t queued_bytes_ = 0;
};

// The senders that the end of the process waits for, together for at most
// kDebugOutputExitBudgetMs. Lives as a static object, so that its
// destructor runs when the process ends normally.
class ExitWait {
 public:
  ~ExitWait() {
    DWORD deadline = ::GetTickCount() + kDebugOutputExitBudgetMs;
    for (const LineSender* sender : senders_) {
      if (sender != nullptr) sender->Drain(deadline);
    }
  }

  // Makes a sender that the end of the process waits for; null when there
  // are too many (the program makes two).
  LineSender* Add(HANDLE target) {
    for (LineSender*& sender : senders_) {
      if (sender == nullptr) {
        sender = new LineSender(target);
        return sender;
      }
    }
    return nullptr;
  }

 private:
  LineSender* senders_[2] = {};
};

ExitWait& Senders() {
  static ExitWait senders;
  return senders;
}

class DiskOutput : public TraceOutput {
 public:
  explicit DiskOutput(HANDLE file) : file_(file) {}
  ~DiskOutput() override { ::CloseHandle(file_); }

  void WriteLine(const std::string& line) override {
    std::string bytes = line + "\r\n";
    ::DWORD written = 0;
    ::WriteFile(file_, bytes.data(), static_cast<::DWORD>(bytes.size()),
                &written, nullptr);
  }

 private:
  HANDLE file_;
};

class QueuedOutput : public TraceOutput {
 public:
  explicit QueuedOutput(LineSender* sender) : sender_(sender) {}
  void WriteLine(const std::string& line) override {
    sender_->Post(line + "\r\n");
  }

 private:
  LineSender* sender_;
};

void PostDebugLine(const char* line) {
  static LineSender* const debugger = Senders().Add(nullptr);
  if (debugger != nullptr) debugger->Post(line);
}

// Whether the disk file `handle` (opened without READ_CONTROL, which a
// pipe's server may deny) belongs to the run's account or to the system's.
bool OwnedBy(HANDLE handle) {
  HANDLE reader =
      ::ReOpenFile(handle, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                   FILE_FLAG_OPEN_REPARSE_POINT);
  if (reader == INVALID_HANDLE_VALUE) return false;
  const bool owned = win32::OwnedByRunOrAdministrators(reader);
  ::CloseHandle(reader);
  return owned;
}

std::unique_ptr<TraceOutput> OpenChannel(const char* name, bool* refused) {
  *refused = false;
  if (name == nullptr || *name == '\0') return nullptr;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (std::strcmp(name, "-") == 0) {
    handle = ::GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  } else {
    // Its directories held, made when missing, none a reparse point and
    // the last one of a trusted owner, until the file is open.
    win32::HeldDirectories held;
    if (!win32::HoldOutputDirectory(name, &held, refused)) return nullptr;
    // Write access first: for a pipe that is what a write needs (a pipe
    // reads FILE_APPEND_DATA as the right to make a pipe instance). A
    // reparse point in the name's place is opened as itself, not followed;
    // a pipe's server may identify us but not act as us ("Impersonation
    // Levels": SECURITY_IDENTIFICATION).
    handle =
        ::CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                          SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                      nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const DWORD type = ::GetFileType(handle);
    if (type == FILE_TYPE_DISK) {
      // A link, a junction or a second hard link could be another
      // account's file by another name; a file another account made
      // would give it the lines.
      BY_HANDLE_FILE_INFORMATION info;
      HANDLE append = INVALID_HANDLE_VALUE;
      if (::GetFileInformationByHandle(handle, &info) &&
          (info.dwFileAttributes &
           (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
          info.nNumberOfLinks == 1 && OwnedBy(handle)) {
        // The same file again with append-only access, as Microsoft
        // documents it: every write goes to the end of the file, also
        // with other writers (another run's trace).
        append = ::ReOpenFile(handle, FILE_APPEND_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE,
                              FILE_FLAG_OPEN_REPARSE_POINT);
      } else {
        *refused = true;
      }
      ::CloseHandle(handle);
      if (append == INVALID_HANDLE_VALUE) return nullptr;
      return std::make_unique<DiskOutput>(append);
    }
    if (type != FILE_TYPE_PIPE && type != FILE_TYPE_CHAR) {
      ::CloseHandle(handle);
      *refused = true;
      return nullptr;
    }
  }
  if (::GetFileType(handle) == FILE_TYPE_DISK) {
    // Standard error sent to a file by whoever started us: ours to write
    // to, not to close.
    HANDLE own = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(),
                           &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      return nullptr;
    }
    return std::make_unique<DiskOutput>(own);
  }
  LineSender* sender = Senders().Add(handle);
  if (sender == nullptr) return nullptr;
  return std::make_unique<QueuedOutput>(sender);
}

class SystemOutputs : public Outputs {
 public:
  void DebugOutput(const char* line) override { PostDebugLine(line); }
  std::unique_ptr<TraceOutput> OpenTraceOutput(const char* name,
                                               bool* refused) override {
    return OpenChannel(name, refused);
  }
  std::string SystemErrorText(DWORD code) override {
    char text[512] = {};
    const ::DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' ||
            message.back() == ' ')) {
      message.pop_back();
    }
    return message;
  }
  // Windows Installer's codes are what deployment tools on Windows read.
  bool ExitStatusHoldsWholeCodes() override { return true; }
  // Without the source registered (the key ksupdate under HKLM's
  // SYSTEM\CurrentControlSet\Services\EventLog\Application), Windows still logs
  // the event in the Application log; Event Viewer then shows the text after a
  // note that the description was not found. ReportEvent takes at most 32K
  // characters a string; the caller keeps far below.
  void LogRunEvent(const RunEvent& event) override {
    std::string text;
    for (const std::string& line : event.lines) {
      text += (text.empty() ? "" : "\r\n") + line;
    }
    // The text first: a message file that shows %1 (the .NET Framework's)
    // shows it whole; a tool reads the fields after it one by one.
    std::vector<LPCSTR> strings = {text.c_str()};
    for (const std::string& field : event.fields) {
      strings.push_back(field.c_str());
    }
    std::vector<unsigned char> user = win32::ProcessUserSid();
    const HANDLE source = ::RegisterEventSourceA(nullptr, "ksupdate");
    if (source == nullptr) return;
    const WORD type = event.kind == EventKind::kError ? EVENTLOG_ERROR_TYPE
                      : event.kind == EventKind::kWarning
                          ? EVENTLOG_WARNING_TYPE
                          : EVENTLOG_INFORMATION_TYPE;
    ::ReportEventA(
        source, type, 0, event.id, user.empty() ? nullptr : user.data(),
        static_cast<WORD>(strings.size()), 0, strings.data(), nullptr);
    ::DeregisterEventSource(source);
  }
  bool LogsRunsByDefault() override { return true; }
};

}  // namespace

Outputs* DefaultOutputs() {
  static SystemOutputs outputs;
  return &outputs;
}

}  // namespace ks
