// The control channel over a named pipe: "\\.\pipe\Meridel-<service>-<hash of
// the home folder>", open to the pipe's owner, SYSTEM and Administrators only,
// local clients only. One request is served at a time; the next instance of
// the pipe listens meanwhile.
#include "server/hosting/control_channel.h"

#include <windows.h>
// After windows.h.
#include <sddl.h>

#include <cstdio>
#include <cwctype>
#include <thread>

#include "common/clock/deadline.h"

namespace mdl::service {
namespace {

constexpr DWORD kPipeBuffer = 64 * 1024;
constexpr wchar_t kPipeSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)";

std::string WinError(const std::string& what, DWORD error) {
  return what + ": Windows error " + std::to_string(error);
}

std::wstring Wide(const std::string& s) { return std::filesystem::path(s).wstring(); }

DWORD Millis(Nanoseconds d) {
  return static_cast<DWORD>(std::min<int64_t>((d.count() + 999'999) / 1'000'000, 60'000));
}

enum class Io { kDone, kTimedOut, kStopped, kFailed };

// Completes an overlapped call that returned `ok`, waiting at most `ms` (and
// for `stop`, when given). A wait that ends early cancels the call.
Io Complete(HANDLE h, OVERLAPPED* ov, BOOL ok, DWORD* n, DWORD* error, DWORD ms, HANDLE stop = nullptr) {
  *n = 0;
  if (!ok) {
    *error = GetLastError();
    if (*error != ERROR_IO_PENDING) return Io::kFailed;
    HANDLE events[2] = {ov->hEvent, stop};
    const DWORD r = WaitForMultipleObjects(stop ? 2 : 1, events, FALSE, ms);
    if (r != WAIT_OBJECT_0) {
      CancelIoEx(h, ov);
      GetOverlappedResult(h, ov, n, TRUE);
      return r == WAIT_OBJECT_0 + 1 ? Io::kStopped : Io::kTimedOut;
    }
  }
  if (!GetOverlappedResult(h, ov, n, FALSE)) {
    *error = GetLastError();
    return Io::kFailed;
  }
  return Io::kDone;
}

class Event {
 public:
  Event() : h_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Event() {
    if (h_) CloseHandle(h_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

}  // namespace

std::string ControlEndpoint(const std::filesystem::path& home, std::string_view service) {
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(home, ec);
  if (ec) abs = home;
  std::wstring key = abs.lexically_normal().wstring();
  while (key.size() > 3 && (key.back() == L'\\' || key.back() == L'/')) key.pop_back();
  // FNV-1a over the folder's UTF-16 units, case folded as the file system folds names.
  uint64_t hash = 0xcbf29ce484222325ull;
  for (wchar_t c : key) {
    const auto u = static_cast<uint16_t>(std::towlower(c == L'/' ? L'\\' : c));
    for (uint8_t b : {static_cast<uint8_t>(u & 0xff), static_cast<uint8_t>(u >> 8)}) {
      hash ^= b;
      hash *= 0x100000001b3ull;
    }
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return "\\\\.\\pipe\\Meridel-" + std::string(service) + "-" + hex;
}

struct ControlChannel::Impl {
  std::wstring name;
  ControlAnswer answer;
  PSECURITY_DESCRIPTOR security = nullptr;
  Event stop;
  HANDLE listening = INVALID_HANDLE_VALUE;
  std::thread thread;

  ~Impl() {
    if (listening != INVALID_HANDLE_VALUE) CloseHandle(listening);
    if (security) LocalFree(security);
  }

  HANDLE NewInstance(bool first, DWORD* error) {
    SECURITY_ATTRIBUTES sa{sizeof sa, security, FALSE};
    const HANDLE h = CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        static_cast<DWORD>(kControlConnectionsMax), kPipeBuffer, kPipeBuffer, 0, &sa);
    if (h == INVALID_HANDLE_VALUE) *error = GetLastError();
    return h;
  }

  void Run() {
    Event io_event;
    for (;;) {
      OVERLAPPED ov{};
      ov.hEvent = io_event.get();
      ResetEvent(io_event.get());
      DWORD n = 0, error = 0;
      const BOOL ok = ConnectNamedPipe(listening, &ov);
      Io r = Io::kDone;
      if (!ok && GetLastError() == ERROR_PIPE_CONNECTED) {
        r = Io::kDone;
      } else if (!ok && GetLastError() == ERROR_IO_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        r = Complete(listening, &ov, FALSE, &n, &error, INFINITE, stop.get());
      } else if (!ok) {
        r = Io::kFailed;
      }
      if (r == Io::kStopped) return;
      HANDLE serving = listening;
      // The next instance listens before this one is served, so that no
      // asker finds the pipe missing.
      listening = NewInstance(false, &error);
      if (r == Io::kDone) Serve(serving, io_event.get());
      CloseHandle(serving);  // the answer stays readable until the asker closes
      if (listening == INVALID_HANDLE_VALUE) return;
    }
  }

  void Serve(HANDLE pipe, HANDLE io_event) {
    const Deadline deadline(kControlRequestTime);
    std::string in;
    std::optional<std::string> reply;
    bool complete = false;
    while (!complete) {
      char buf[kControlRequestMax];
      OVERLAPPED ov{};
      ov.hEvent = io_event;
      ResetEvent(io_event);
      DWORD n = 0, error = 0;
      const DWORD room = static_cast<DWORD>(kControlRequestMax - in.size());
      const BOOL ok = ReadFile(pipe, buf, room, nullptr, &ov);
      if (Complete(pipe, &ov, ok, &n, &error, Millis(deadline.Left()), stop.get()) != Io::kDone || n == 0)
        return;  // too slow, gone or stopping: closed without an answer
      in.append(buf, n);
      const ControlRequest request = ParseControlRequest(in);
      if (request.state == ControlRequest::State::kLine) reply = answer(request.line);
      complete = request.state != ControlRequest::State::kIncomplete;
    }
    const std::string out = reply ? *reply : std::string(kControlUnknown);
    OVERLAPPED ov{};
    ov.hEvent = io_event;
    ResetEvent(io_event);
    DWORD n = 0, error = 0;
    const BOOL ok = WriteFile(pipe, out.data(), static_cast<DWORD>(out.size()), nullptr, &ov);
    Complete(pipe, &ov, ok, &n, &error, Millis(kControlRequestTime), stop.get());
  }
};

ControlChannel::ControlChannel() = default;

ControlChannel::~ControlChannel() { Stop(); }

bool ControlChannel::Start(const std::filesystem::path& home, std::string_view service,
                           ControlAnswer answer) {
  Stop();
  error_.clear();
  endpoint_ = ControlEndpoint(home, service);
  auto impl = std::make_unique<Impl>();
  impl->name = Wide(endpoint_);
  impl->answer = std::move(answer);
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1, &impl->security,
                                                            nullptr)) {
    error_ = WinError("control pipe security", GetLastError());
    return false;
  }
  // A pipe of that name belongs to a live program (FILE_FLAG_FIRST_PIPE_INSTANCE
  // says so too, where the system enforces it).
  if (WaitNamedPipeW(impl->name.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND) {
    error_ = endpoint_ + " is in use by another running program";
    return false;
  }
  DWORD error = 0;
  impl->listening = impl->NewInstance(true, &error);
  if (impl->listening == INVALID_HANDLE_VALUE) {
    error_ = error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY
                 ? endpoint_ + " is in use by another running program"
                 : WinError("control pipe " + endpoint_, error);
    return false;
  }
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->Run(); });
  impl_ = std::move(impl);
  return true;
}

void ControlChannel::Stop() {
  if (!impl_) return;
  SetEvent(impl_->stop.get());
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_.reset();
}

ControlReply AskControl(const std::filesystem::path& home, std::string_view service, std::string_view request,
                        std::chrono::milliseconds timeout) {
  ControlReply reply;
  const std::string endpoint = ControlEndpoint(home, service);
  const std::wstring name = Wide(endpoint);
  const Deadline deadline(timeout);
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (;;) {
    pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) break;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
      reply.kind = ControlReply::Kind::kNoInstance;
      return reply;
    }
    if (error != ERROR_PIPE_BUSY) {
      reply.text = error == ERROR_ACCESS_DENIED
                       ? "access to " + endpoint + " denied (run as its user or an administrator)"
                       : WinError("open " + endpoint, error);
      return reply;
    }
    if (deadline.Passed()) {
      reply.text = endpoint + " stayed busy for " + std::to_string(timeout.count() / 1000) + " s";
      return reply;
    }
    WaitNamedPipeW(name.c_str(), std::max<DWORD>(1, Millis(deadline.Left())));
  }
  Event io_event;
  const std::string line = std::string(request) + "\n";
  std::string answer;
  {
    OVERLAPPED ov{};
    ov.hEvent = io_event.get();
    DWORD n = 0, error = 0;
    const BOOL ok = WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), nullptr, &ov);
    const Io r = Complete(pipe, &ov, ok, &n, &error, Millis(deadline.Left()));
    if (r != Io::kDone) {
      CloseHandle(pipe);
      reply.text =
          r == Io::kTimedOut ? "no answer from " + endpoint : WinError("write to " + endpoint, error);
      return reply;
    }
  }
  for (;;) {
    char buf[4096];
    OVERLAPPED ov{};
    ov.hEvent = io_event.get();
    ResetEvent(io_event.get());
    DWORD n = 0, error = 0;
    const BOOL ok = ReadFile(pipe, buf, sizeof buf, nullptr, &ov);
    const Io r = Complete(pipe, &ov, ok, &n, &error, Millis(deadline.Left()));
    if (r == Io::kFailed && (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED)) break;
    if (r != Io::kDone) {
      CloseHandle(pipe);
      reply.text = r == Io::kTimedOut ? "no answer from " + endpoint + " within " +
                                            std::to_string(timeout.count() / 1000) + " s"
                                      : WinError("read from " + endpoint, error);
      return reply;
    }
    if (n == 0) break;
    answer.append(buf, n);
    if (answer.size() > (16u << 20)) {
      CloseHandle(pipe);
      reply.text = "the answer from " + endpoint + " is too long";
      return reply;
    }
  }
  CloseHandle(pipe);
  reply.kind = ControlReply::Kind::kAnswered;
  reply.text = std::move(answer);
  return reply;
}

}  // namespace mdl::service
