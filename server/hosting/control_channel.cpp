// The control channel over a Unix stream socket.
#include "server/hosting/control_channel.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "common/clock/deadline.h"
#include "server/hosting/unit_file.h"

namespace mdl::service {
namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& o) noexcept : fd_(o.Release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.Release();
    }
    return *this;
  }
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool SocketAddress(const std::string& path, sockaddr_un* addr, std::string* error) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) {
    *error = "the control socket's path is too long (" + std::to_string(path.size()) + " bytes, at most " +
             std::to_string(sizeof addr->sun_path - 1) + "): " + path;
    return false;
  }
  std::memcpy(addr->sun_path, path.c_str(), path.size());
  return true;
}

int Milliseconds(Nanoseconds d) {
  // Rounded up, so that a wait never ends just before its deadline.
  return static_cast<int>(std::min<int64_t>((d.count() + 999'999) / 1'000'000, 60'000));
}

// The peer is this program's own user, or root.
bool PeerAllowed(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == 0 || cred.uid == ::geteuid();
}

}  // namespace

std::string ControlEndpoint(const std::filesystem::path& home, std::string_view service) {
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(home, ec);
  if (ec) abs = home;
  // The client has a socket of its own, so that both programs may share a folder.
  return (abs / (service == kClientService.name ? "client-control.sock" : "control.sock")).string();
}

struct ControlChannel::Impl {
  struct Connection {
    Fd fd;
    std::string in;
    std::string out;
    size_t sent = 0;
    bool answering = false;  // the request is complete: writing `out`, then close
    Deadline deadline{kControlRequestTime};
  };

  Fd listener;
  Fd wake_read;
  Fd wake_write;
  std::string path;
  ControlAnswer answer;
  std::thread thread;

  void Run() {
    std::vector<Connection> conns;
    for (;;) {
      std::vector<pollfd> fds;
      fds.push_back({wake_read.get(), POLLIN, 0});
      const bool accepting = conns.size() < kControlConnectionsMax;
      fds.push_back({accepting ? listener.get() : -1, POLLIN, 0});
      Nanoseconds wait = std::chrono::seconds(60);
      for (const Connection& c : conns) {
        fds.push_back({c.fd.get(), static_cast<short>(c.answering ? POLLOUT : POLLIN), 0});
        wait = std::min(wait, c.deadline.Left());
      }
      const int n = ::poll(fds.data(), fds.size(), Milliseconds(wait));
      if (n < 0 && errno != EINTR) return;
      if (fds[0].revents != 0) return;  // Stop()
      for (size_t i = 0; i < conns.size(); ++i) Serve(conns[i], fds[i + 2].revents);
      std::erase_if(conns, [](const Connection& c) { return c.fd.get() < 0; });
      if (accepting && (fds[1].revents & POLLIN)) {
        Fd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        // Beside the socket's mode: only this program's user and root are answered.
        if (fd.get() >= 0 && PeerAllowed(fd.get())) {
          Connection c;
          c.fd = std::move(fd);
          conns.push_back(std::move(c));
        }
      }
    }
  }

  void Serve(Connection& c, short revents) {
    if (c.deadline.Passed()) {
      c.fd.Reset();  // too slow to ask, or to read its answer
      return;
    }
    if (revents == 0) return;
    if (!c.answering) {
      char buf[kControlRequestMax];
      const ssize_t got = ::recv(c.fd.get(), buf, sizeof buf, 0);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
      if (got <= 0) {
        c.fd.Reset();  // gone before a whole line
        return;
      }
      c.in.append(buf, static_cast<size_t>(got));
      const ControlRequest request = ParseControlRequest(c.in);
      if (request.state == ControlRequest::State::kIncomplete) return;
      std::optional<std::string> reply;
      if (request.state == ControlRequest::State::kLine) reply = answer(request.line);
      c.out = reply ? std::move(*reply) : std::string(kControlUnknown);
      c.answering = true;
      ::shutdown(c.fd.get(), SHUT_RD);
    }
    while (c.sent < c.out.size()) {
      const ssize_t put = ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
      if (put < 0 && (errno == EAGAIN || errno == EINTR)) return;
      if (put <= 0) break;
      c.sent += static_cast<size_t>(put);
    }
    c.fd.Reset();
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
  impl->path = endpoint_;
  impl->answer = std::move(answer);
  sockaddr_un addr{};
  if (!SocketAddress(endpoint_, &addr, &error_)) return false;

  // A socket left by a program that ended without removing it: replaced. One
  // that answers belongs to a live program (another service in this folder).
  struct stat st {};
  if (::lstat(endpoint_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error_ = endpoint_ + " exists and is not a socket";
      return false;
    }
    Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.get() >= 0 && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      error_ = endpoint_ + " is in use by another running program";
      return false;
    }
    ::unlink(endpoint_.c_str());
  }

  impl->listener = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (impl->listener.get() < 0) {
    error_ = Errno("control socket");
    return false;
  }
  if (::bind(impl->listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error_ = Errno("control socket " + endpoint_);
    return false;
  }
  // The mode is set before listen(): no one can connect while it is wider.
  if (::chmod(endpoint_.c_str(), 0600) != 0 || ::listen(impl->listener.get(), 8) != 0) {
    error_ = Errno("control socket " + endpoint_);
    ::unlink(endpoint_.c_str());
    return false;
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    error_ = Errno("control channel pipe");
    ::unlink(endpoint_.c_str());
    return false;
  }
  impl->wake_read = Fd(pipe_fds[0]);
  impl->wake_write = Fd(pipe_fds[1]);
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->Run(); });
  impl_ = std::move(impl);
  return true;
}

void ControlChannel::Stop() {
  if (!impl_) return;
  const char byte = 0;
  [[maybe_unused]] const ssize_t n = ::write(impl_->wake_write.get(), &byte, 1);
  if (impl_->thread.joinable()) impl_->thread.join();
  ::unlink(impl_->path.c_str());
  impl_.reset();
}

ControlReply AskControl(const std::filesystem::path& home, std::string_view service, std::string_view request,
                        std::chrono::milliseconds timeout) {
  ControlReply reply;
  const std::string path = ControlEndpoint(home, service);
  sockaddr_un addr{};
  if (!SocketAddress(path, &addr, &reply.text)) return reply;
  const Deadline deadline(timeout);
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    reply.text = Errno("socket");
    return reply;
  }
  // A blocking connect waits for room in a full backlog, at most the send time-out.
  const auto wait_us = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
  timeval tv{static_cast<time_t>(wait_us / 1'000'000), static_cast<suseconds_t>(wait_us % 1'000'000)};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == ENOENT || errno == ECONNREFUSED) {
      reply.kind = ControlReply::Kind::kNoInstance;
    } else if (errno == EAGAIN || errno == EINPROGRESS || errno == EINTR) {
      reply.text = path + " accepted no connection within " + std::to_string(timeout.count() / 1000) + " s";
    } else {
      reply.text = Errno("connect to " + path);
    }
    return reply;
  }
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
  const std::string line = std::string(request) + "\n";
  size_t sent = 0;
  std::string answer;
  for (;;) {
    const bool writing = sent < line.size();
    pollfd p{fd.get(), static_cast<short>(writing ? POLLOUT : POLLIN), 0};
    if (deadline.Passed()) {
      reply.text = "no answer from " + path + " within " + std::to_string(timeout.count() / 1000) + " s";
      return reply;
    }
    const int n = ::poll(&p, 1, Milliseconds(deadline.Left()));
    if (n < 0 && errno != EINTR) {
      reply.text = Errno("poll");
      return reply;
    }
    if (n <= 0) continue;
    if (writing) {
      const ssize_t put = ::send(fd.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      if (put < 0 && errno != EAGAIN && errno != EINTR) {
        reply.text = Errno("send to " + path);
        return reply;
      }
      if (put > 0) sent += static_cast<size_t>(put);
      continue;
    }
    char buf[4096];
    const ssize_t got = ::recv(fd.get(), buf, sizeof buf, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got < 0 && errno == ECONNRESET && !answer.empty()) break;  // closed with our line unread
    if (got < 0) {
      reply.text = Errno("read from " + path);
      return reply;
    }
    if (got == 0) break;
    answer.append(buf, static_cast<size_t>(got));
    if (answer.size() > (16u << 20)) {
      reply.text = "the answer from " + path + " is too long";
      return reply;
    }
  }
  reply.kind = ControlReply::Kind::kAnswered;
  reply.text = std::move(answer);
  return reply;
}

}  // namespace mdl::service
