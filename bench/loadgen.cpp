// mdl_loadgen: load generator for the time services (NTP over UDP, plain or
// authenticated, the one-shot TCP services, and the one-datagram UDP
// services). Prints one line of key=value pairs per run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "bench/load_stats.h"
#include "bench/nts_slots.h"
#include "common/clock/secure_random.h"
#include "common/nts/ke_client.h"
#include "common/nts/ntp_auth.h"

namespace mdl::bench {
namespace {

constexpr size_t kMaxSamples = 2'000'000;
constexpr size_t kMaxOutstanding = 4096;  // slot index lives in 12 bits
constexpr size_t kRecvBatch = 64;

struct Options {
  std::string mode;
  std::string host = "127.0.0.1";
  int port = 0;
  double seconds = 5;
  int outstanding = 1;
  int clients = 1;
  int sockets = 1;
  long expect_bytes = 4;  // tcp-read, udp-simple: exact reply size, 0 = any
  int payload = 1;        // udp-simple: request size
  int timeout_ms = 500;   // a request unanswered this long counts as lost
  uint64_t count = 0;     // stop after this many replies (0 = by time only)
  int ke_port = 0;        // nts-udp: the key establishment port
  std::string ca_file;    // nts-udp: PEM certificates trusted for it (else the system's)
  int max_request = 512;  // nts-udp: placeholders only while a request stays this short
};

int64_t Now(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Keeps at most kMaxSamples values, a uniform sample of all that were offered.
class Reservoir {
 public:
  void Add(int64_t v) {
    ++seen_;
    if (values_.size() < kMaxSamples) {
      values_.push_back(v);
      return;
    }
    uint64_t j = rng_() % seen_;
    if (j < kMaxSamples) values_[j] = v;
  }
  std::vector<int64_t>& values() { return values_; }

 private:
  std::vector<int64_t> values_;
  uint64_t seen_ = 0;
  std::mt19937_64 rng_{12345};
};

std::string Micros(std::vector<int64_t>& v, double p) {
  auto x = Percentile(v, p);
  if (!x) return "nan";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(*x) / 1000.0);
  return buf;
}

bool Address(const Options& o, sockaddr_in& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.port));
  return inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr) == 1;
}

int UdpSocket(const sockaddr_in& to) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int size = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  // Connected: only the server's datagrams arrive, and send needs no address.
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

struct ControlBuffer {
  alignas(cmsghdr) char bytes[128];
};

// The SO_TIMESTAMPNS arrival stamp of a received message, in Unix ns.
std::optional<int64_t> KernelStamp(msghdr& msg) {
  for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
    if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SCM_TIMESTAMPNS) {
      timespec ts;
      std::memcpy(&ts, CMSG_DATA(cm), sizeof ts);
      return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
  }
  return std::nullopt;
}

struct Slot {
  uint64_t key = 0;
  int64_t t1_real = 0;
  int64_t sent_mono = 0;
};

struct UdpCounters {
  uint64_t sent = 0, replies = 0, lost = 0, bad = 0;
};

// One receive batch: up to kRecvBatch datagrams, each with its kernel stamp.
struct RecvBatch {
  std::vector<std::array<uint8_t, 2048>> bufs{kRecvBatch};
  std::vector<ControlBuffer> controls{kRecvBatch};
  std::vector<iovec> iovs{kRecvBatch};
  std::vector<mmsghdr> msgs{kRecvBatch};
  RecvBatch() {
    for (size_t k = 0; k < kRecvBatch; ++k) {
      iovs[k] = {bufs[k].data(), bufs[k].size()};
      msgs[k] = {};
      msgs[k].msg_hdr.msg_iov = &iovs[k];
      msgs[k].msg_hdr.msg_iovlen = 1;
      msgs[k].msg_hdr.msg_control = controls[k].bytes;
    }
  }
  int Receive(int fd) {
    // The kernel shrinks msg_controllen to what it wrote; restore it.
    for (auto& m : msgs) m.msg_hdr.msg_controllen = sizeof(ControlBuffer::bytes);
    return recvmmsg(fd, msgs.data(), kRecvBatch, MSG_DONTWAIT, nullptr);
  }
  std::span<const uint8_t> data(int k) const { return {bufs[k].data(), msgs[k].msg_len}; }
};

// `outstanding` requests in flight, slot i on socket i % sockets. The low 12
// bits of the transmit stamp carry the slot index, so the echoed originate
// names the slot; the slot keeps the exact T1.
int RunNtpUdp(const Options& o) {
  sockaddr_in to;
  if (!Address(o, to)) return 2;
  std::vector<int> fds;
  for (int i = 0; i < o.sockets; ++i) {
    int fd = UdpSocket(to);
    int on = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (fd < 0) {
      std::fprintf(stderr, "mdl_loadgen: socket: %s\n", std::strerror(errno));
      return 1;
    }
    fds.push_back(fd);
  }
  std::vector<Slot> slots(static_cast<size_t>(o.outstanding));
  UdpCounters c;
  // hold: the server's transmit minus receive stamp, from the reply itself.
  Reservoir latency, offset, hold;
  int last_stratum = -1;

  auto send = [&](size_t i) {
    Slot& s = slots[i];
    s.t1_real = Now(CLOCK_REALTIME);
    s.key = (NtpFromUnixNanos(s.t1_real) & ~uint64_t{0xFFF}) | i;
    NtpPacket p = BuildNtpRequest(s.key);
    s.sent_mono = Now(CLOCK_MONOTONIC);
    ::send(fds[i % fds.size()], p.data(), p.size(), 0);
    ++c.sent;
  };

  int64_t start = Now(CLOCK_MONOTONIC);
  int64_t end = start + static_cast<int64_t>(o.seconds * 1e9);
  int64_t timeout_ns = static_cast<int64_t>(o.timeout_ms) * 1000000;
  for (size_t i = 0; i < slots.size(); ++i) send(i);
  std::vector<pollfd> pfds;
  for (int fd : fds) pfds.push_back({fd, POLLIN, 0});
  int64_t next_sweep = start + 10000000;
  int64_t now = start;
  bool done = false;
  // One recvmmsg takes up to kRecvBatch replies, each with its own kernel
  // arrival stamp (T4): replies queued behind others here must not count as
  // time on the path.
  std::vector<std::array<uint8_t, 512>> bufs(kRecvBatch);
  std::vector<ControlBuffer> controls(kRecvBatch);
  std::vector<iovec> iovs(kRecvBatch);
  std::vector<mmsghdr> msgs(kRecvBatch);
  for (size_t k = 0; k < kRecvBatch; ++k) {
    iovs[k] = {bufs[k].data(), bufs[k].size()};
    msgs[k] = {};
    msgs[k].msg_hdr.msg_iov = &iovs[k];
    msgs[k].msg_hdr.msg_iovlen = 1;
    msgs[k].msg_hdr.msg_control = controls[k].bytes;
  }
  while (!done) {
    poll(pfds.data(), pfds.size(), 5);
    for (size_t f = 0; f < fds.size() && !done; ++f) {
      for (;;) {
        // The kernel shrinks msg_controllen to what it wrote; restore it.
        for (auto& m : msgs) m.msg_hdr.msg_controllen = sizeof(ControlBuffer::bytes);
        int got = recvmmsg(fds[f], msgs.data(), kRecvBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0) break;
        now = Now(CLOCK_MONOTONIC);
        int64_t fallback_t4 = Now(CLOCK_REALTIME);
        for (int k = 0; k < got && !done; ++k) {
          int64_t t4 = KernelStamp(msgs[k].msg_hdr).value_or(fallback_t4);
          auto reply = ParseNtpReply(std::span<const uint8_t>(bufs[k].data(), msgs[k].msg_len));
          size_t i = reply ? static_cast<size_t>(reply->originate & 0xFFF) : slots.size();
          if (i >= slots.size() || slots[i].key != reply->originate) {
            ++c.bad;  // late reply of a request already counted lost, or garbage
            continue;
          }
          ++c.replies;
          last_stratum = reply->stratum;
          latency.Add(t4 - slots[i].t1_real);
          offset.Add(ClientOffsetNanos(slots[i].t1_real, *reply, t4));
          hold.Add(UnixNanosFromNtp(reply->transmit) - UnixNanosFromNtp(reply->receive));
          if (now >= end || (o.count && c.replies >= o.count)) {
            done = true;
            break;
          }
          send(i);
        }
        if (done || static_cast<size_t>(got) < kRecvBatch) break;
      }
    }
    now = Now(CLOCK_MONOTONIC);
    if (now >= end) done = true;
    if (!done && now >= next_sweep) {
      next_sweep = now + 10000000;
      for (size_t i = 0; i < slots.size(); ++i) {
        if (now - slots[i].sent_mono > timeout_ns) {
          ++c.lost;
          send(i);
        }
      }
    }
  }
  double elapsed = static_cast<double>(Now(CLOCK_MONOTONIC) - start) / 1e9;
  for (int fd : fds) close(fd);
  std::printf("mode=ntp-udp port=%d outstanding=%d sockets=%d seconds=%.3f sent=%" PRIu64 " replies=%" PRIu64
              " lost=%" PRIu64 " bad=%" PRIu64
              " rate=%.1f p50_us=%s p90_us=%s p99_us=%s offset_median_us=%s"
              " hold_p50_us=%s hold_p999_us=%s hold_max_us=%s stratum=%d\n",
              o.port, o.outstanding, o.sockets, elapsed, c.sent, c.replies, c.lost, c.bad,
              static_cast<double>(c.replies) / elapsed, Micros(latency.values(), 50).c_str(),
              Micros(latency.values(), 90).c_str(), Micros(latency.values(), 99).c_str(),
              Micros(offset.values(), 50).c_str(), Micros(hold.values(), 50).c_str(),
              Micros(hold.values(), 99.9).c_str(), Micros(hold.values(), 100).c_str(), last_stratum);
  return c.replies > 0 ? 0 : 1;
}

// Keys and cookies from one key establishment exchange; `error` set when it failed.
nts::KeOutcome KeyEstablishment(const Options& o) {
  boost::asio::io_context io;
  nts::KeOutcome got;
  got.error = "no outcome";
  nts::AsyncKeExchange(io, o.host, static_cast<uint16_t>(o.ke_port),
                       nts::KeTrust{o.ca_file, o.ca_file.empty()}, std::chrono::milliseconds(5000),
                       [&got](nts::KeOutcome out) { got = std::move(out); });
  io.run_for(std::chrono::seconds(10));
  return got;
}

struct NtsSlot {
  Slot plain;
  std::array<uint8_t, nts::kMinUniqueIdLength> unique_id{};
};

// Authenticated NTP at `outstanding` requests in flight, as RunNtpUdp: one
// key establishment, then each request spends a cookie (with placeholders
// while cookies fall short of one per slot) and each verified reply's fresh
// cookies go to later requests. Replies that do not verify count as bad, NTS
// NAKs too (and separately).
int RunNtsUdp(const Options& o) {
  const int64_t ke_start = Now(CLOCK_MONOTONIC);
  nts::KeOutcome ke = KeyEstablishment(o);
  const double ke_ms = static_cast<double>(Now(CLOCK_MONOTONIC) - ke_start) / 1e6;
  if (!ke.ok) {
    std::fprintf(stderr, "mdl_loadgen: key establishment with %s:%d: %s\n", o.host.c_str(), o.ke_port,
                 ke.error.c_str());
    return 1;
  }
  Options to_ntp = o;
  if (to_ntp.port == 0) to_ntp.port = ke.ntp_port;
  sockaddr_in to;
  if (!Address(to_ntp, to)) return 2;
  std::vector<int> fds;
  for (int i = 0; i < o.sockets; ++i) {
    int fd = UdpSocket(to);
    int on = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (fd < 0) {
      std::fprintf(stderr, "mdl_loadgen: socket: %s\n", std::strerror(errno));
      for (int f : fds) close(f);
      return 1;
    }
    fds.push_back(fd);
  }
  std::vector<NtsSlot> slots(static_cast<size_t>(o.outstanding));
  // Placeholders while the request stays within --max-request bytes (a
  // server may bring back no more cookies than fit a reply of that size).
  const size_t cookie_field = nts::ExtensionFieldLength(nts::CookieLength(ke.keys.aead));
  const size_t bare = kNtpSize + nts::ExtensionFieldLength(nts::kMinUniqueIdLength) + cookie_field + 8 +
                      nts::kNonceLength + nts::kAeadTagLength;
  const size_t max_placeholders = static_cast<size_t>(o.max_request) > bare
                                      ? (static_cast<size_t>(o.max_request) - bare) / cookie_field
                                      : 0;
  NtsSlotBook book(slots.size(), max_placeholders);
  const size_t ke_cookies = ke.cookies.size();
  book.AddCookies(std::move(ke.cookies));
  UdpCounters c;
  uint64_t naks = 0, unsealed = 0, parked = 0;
  Reservoir latency, offset;
  int last_stratum = -1;
  std::mt19937_64 ids(std::random_device{}());

  auto send = [&](size_t i) {
    std::optional<NtsSlotBook::Request> r = book.Send(i);
    if (!r) {
      ++parked;
      return;
    }
    NtsSlot& s = slots[i];
    for (size_t k = 0; k < s.unique_id.size(); k += 8) {
      const uint64_t v = ids();
      std::memcpy(s.unique_id.data() + k, &v, 8);
    }
    s.plain.t1_real = Now(CLOCK_REALTIME);
    s.plain.key = (NtpFromUnixNanos(s.plain.t1_real) & ~uint64_t{0xFFF}) | i;
    const NtpPacket header = BuildNtpRequest(s.plain.key);
    const std::vector<uint8_t> p =
        nts::BuildNtsRequest(header, s.unique_id, r->cookie, r->placeholders, ke.keys);
    s.plain.sent_mono = Now(CLOCK_MONOTONIC);
    if (p.empty()) {
      ++unsealed;
      book.Failed(i);
      return;
    }
    ::send(fds[i % fds.size()], p.data(), p.size(), 0);
    ++c.sent;
  };
  auto send_ready = [&] {
    for (size_t i : book.TakeReady()) send(i);
  };

  int64_t start = Now(CLOCK_MONOTONIC);
  int64_t end = start + static_cast<int64_t>(o.seconds * 1e9);
  int64_t timeout_ns = static_cast<int64_t>(o.timeout_ms) * 1000000;
  for (size_t i = 0; i < slots.size(); ++i) send(i);
  std::vector<pollfd> pfds;
  for (int fd : fds) pfds.push_back({fd, POLLIN, 0});
  int64_t next_sweep = start + 10000000;
  bool done = false, starved = false;
  RecvBatch batch;
  while (!done) {
    poll(pfds.data(), pfds.size(), 5);
    for (size_t f = 0; f < fds.size() && !done; ++f) {
      for (;;) {
        int got = batch.Receive(fds[f]);
        if (got <= 0) break;
        const int64_t now = Now(CLOCK_MONOTONIC);
        const int64_t fallback_t4 = Now(CLOCK_REALTIME);
        for (int k = 0; k < got && !done; ++k) {
          const int64_t t4 = KernelStamp(batch.msgs[k].msg_hdr).value_or(fallback_t4);
          const std::span<const uint8_t> data = batch.data(k);
          std::optional<NtpReply> reply;
          if (data.size() > kNtpSize) reply = ParseNtpReply(data.first(kNtpSize));
          size_t i = reply ? static_cast<size_t>(reply->originate & 0xFFF) : slots.size();
          if (i >= slots.size() || slots[i].plain.key != reply->originate || !book.in_flight(i)) {
            // A NAK carries a zero stratum, so it fails the header check above.
            if (data.size() > kNtpSize) {
              for (size_t j = 0; j < slots.size(); ++j) {
                if (book.in_flight(j) && nts::IsNtsNak(data, slots[j].unique_id)) {
                  ++naks;
                  book.Failed(j);
                  send(j);
                  break;
                }
              }
            }
            ++c.bad;  // late reply of a request already counted lost, or garbage
            continue;
          }
          std::optional<nts::NtsReply> verified = nts::VerifyNtsReply(data, slots[i].unique_id, ke.keys);
          if (!verified) {
            ++c.bad;
            if (nts::IsNtsNak(data, slots[i].unique_id)) ++naks;
            book.Failed(i);
            send(i);
            continue;
          }
          book.Answered(i, std::move(verified->cookies));
          ++c.replies;
          last_stratum = reply->stratum;
          latency.Add(t4 - slots[i].plain.t1_real);
          offset.Add(ClientOffsetNanos(slots[i].plain.t1_real, *reply, t4));
          if (now >= end || (o.count && c.replies >= o.count)) {
            done = true;
            break;
          }
          send(i);
          send_ready();
        }
        if (done || static_cast<size_t>(got) < kRecvBatch) break;
      }
    }
    const int64_t now = Now(CLOCK_MONOTONIC);
    if (now >= end) done = true;
    if (!done && now >= next_sweep) {
      next_sweep = now + 10000000;
      for (size_t i = 0; i < slots.size(); ++i) {
        if (book.in_flight(i) && now - slots[i].plain.sent_mono > timeout_ns) {
          ++c.lost;
          book.Failed(i);
          send(i);
        }
      }
      send_ready();
      if (book.starved()) {
        starved = true;  // every cookie spent on requests that went unanswered
        done = true;
      }
    }
  }
  double elapsed = static_cast<double>(Now(CLOCK_MONOTONIC) - start) / 1e9;
  for (int fd : fds) close(fd);
  std::printf(
      "mode=nts-udp port=%d ke_port=%d ke_ms=%.1f ke_cookies=%zu aead=%u max_placeholders=%zu"
      " outstanding=%d sockets=%d"
      " seconds=%.3f sent=%" PRIu64 " replies=%" PRIu64 " lost=%" PRIu64 " bad=%" PRIu64 " naks=%" PRIu64
      " unsealed=%" PRIu64 " parked=%" PRIu64
      " starved=%d rate=%.1f p50_us=%s p90_us=%s p99_us=%s offset_median_us=%s stratum=%d\n",
      to_ntp.port, o.ke_port, ke_ms, ke_cookies, static_cast<unsigned>(ke.keys.aead),
      std::min(max_placeholders, NtsSlotBook::kMaxPlaceholders), o.outstanding, o.sockets, elapsed, c.sent,
      c.replies, c.lost, c.bad, naks, unsealed, parked, starved ? 1 : 0,
      static_cast<double>(c.replies) / elapsed, Micros(latency.values(), 50).c_str(),
      Micros(latency.values(), 90).c_str(), Micros(latency.values(), 99).c_str(),
      Micros(offset.values(), 50).c_str(), last_stratum);
  return c.replies > 0 && !starved ? 0 : 1;
}

// One socket per outstanding request: replies of these services carry no
// field to match them by.
int RunUdpSimple(const Options& o) {
  sockaddr_in to;
  if (!Address(o, to)) return 2;
  size_t n_slots = static_cast<size_t>(o.outstanding);
  std::vector<int> fds;
  std::vector<pollfd> pfds;
  for (size_t i = 0; i < n_slots; ++i) {
    int fd = UdpSocket(to);
    if (fd < 0) {
      std::fprintf(stderr, "mdl_loadgen: socket: %s\n", std::strerror(errno));
      for (int f : fds) close(f);
      return 1;
    }
    fds.push_back(fd);
    pfds.push_back({fd, POLLIN, 0});
  }
  std::vector<int64_t> sent_mono(n_slots);
  std::vector<uint8_t> payload(static_cast<size_t>(o.payload), 'x');
  UdpCounters c;
  Reservoir latency;
  auto send = [&](size_t i) {
    sent_mono[i] = Now(CLOCK_MONOTONIC);
    ::send(fds[i], payload.data(), payload.size(), 0);
    ++c.sent;
  };
  int64_t start = Now(CLOCK_MONOTONIC);
  int64_t end = start + static_cast<int64_t>(o.seconds * 1e9);
  int64_t timeout_ns = static_cast<int64_t>(o.timeout_ms) * 1000000;
  for (size_t i = 0; i < n_slots; ++i) send(i);
  bool done = false;
  while (!done) {
    poll(pfds.data(), pfds.size(), 5);
    int64_t now = Now(CLOCK_MONOTONIC);
    for (size_t i = 0; i < n_slots && !done; ++i) {
      uint8_t buf[2048];
      bool answered = false;
      for (;;) {
        ssize_t n = recv(fds[i], buf, sizeof buf, 0);
        if (n < 0) break;
        if (n == 0 || (o.expect_bytes && n != o.expect_bytes)) {
          ++c.bad;
          continue;
        }
        answered = true;
      }
      if (answered) {
        // Replies that arrive after a time-out resend make a slot's reply
        // ambiguous; the extra ones were drained above and are not counted.
        ++c.replies;
        latency.Add(now - sent_mono[i]);
        if (now >= end || (o.count && c.replies >= o.count))
          done = true;
        else
          send(i);
      } else if (now - sent_mono[i] > timeout_ns) {
        ++c.lost;
        send(i);
      }
    }
    if (Now(CLOCK_MONOTONIC) >= end) done = true;
  }
  double elapsed = static_cast<double>(Now(CLOCK_MONOTONIC) - start) / 1e9;
  for (int fd : fds) close(fd);
  std::printf("mode=udp-simple port=%d outstanding=%d seconds=%.3f sent=%" PRIu64 " replies=%" PRIu64
              " lost=%" PRIu64 " bad=%" PRIu64 " rate=%.1f p50_us=%s p90_us=%s p99_us=%s\n",
              o.port, o.outstanding, elapsed, c.sent, c.replies, c.lost, c.bad,
              static_cast<double>(c.replies) / elapsed, Micros(latency.values(), 50).c_str(),
              Micros(latency.values(), 90).c_str(), Micros(latency.values(), 99).c_str());
  return c.replies > 0 ? 0 : 1;
}

struct TcpCounters {
  uint64_t ok = 0, bad = 0, errors = 0;
  std::vector<int64_t> latency;
};

// One worker keeps `conns` connections going with non-blocking sockets and
// epoll: connect, read until the server closes, close; again. Fewer threads
// than connections spare the generator a context switch per connection.
void TcpWorker(const Options& o, const sockaddr_in& to, int conns, const std::atomic<bool>& stop,
               TcpCounters& c) {
  struct Conn {
    int fd = -1;
    long total = 0;
    int64_t t0 = 0;
  };
  int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) {
    ++c.errors;
    return;
  }
  std::vector<Conn> cs(static_cast<size_t>(conns));
  const int64_t timeout_ns = 2'000'000'000;
  auto open_conn = [&](size_t i) {
    Conn& k = cs[i];
    k = Conn{};
    k.t0 = Now(CLOCK_MONOTONIC);
    k.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (k.fd < 0) {
      ++c.errors;
      return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    if ((connect(k.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) ||
        epoll_ctl(ep, EPOLL_CTL_ADD, k.fd, &ev) != 0) {
      ++c.errors;
      close(k.fd);
      k.fd = -1;
    }
  };
  auto finish = [&](size_t i, bool failed) {
    Conn& k = cs[i];
    close(k.fd);  // also leaves the epoll set
    k.fd = -1;
    if (failed) {
      ++c.errors;
    } else if (k.total == 0 || (o.expect_bytes && k.total != o.expect_bytes)) {
      ++c.bad;
    } else {
      ++c.ok;
      if (c.latency.size() < kMaxSamples) c.latency.push_back(Now(CLOCK_MONOTONIC) - k.t0);
    }
  };
  for (size_t i = 0; i < cs.size(); ++i) open_conn(i);
  std::vector<epoll_event> events(cs.size());
  int64_t next_sweep = Now(CLOCK_MONOTONIC) + 10'000'000;
  while (!stop.load(std::memory_order_relaxed)) {
    int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 10);
    for (int e = 0; e < n; ++e) {
      size_t i = static_cast<size_t>(events[e].data.u64);
      Conn& k = cs[i];
      if (k.fd < 0) continue;
      uint8_t buf[1024];
      for (;;) {
        ssize_t got = recv(k.fd, buf, sizeof buf, 0);
        if (got > 0) {
          k.total += got;
          if (k.total > 1 << 20) {
            finish(i, true);
            break;
          }
          continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;  // more to come
        finish(i, got < 0);  // 0: the server closed; < 0: reset or refused
        break;
      }
      if (k.fd < 0 && !stop.load(std::memory_order_relaxed)) open_conn(i);
    }
    int64_t now = Now(CLOCK_MONOTONIC);
    if (now >= next_sweep) {
      next_sweep = now + 10'000'000;
      for (size_t i = 0; i < cs.size(); ++i) {
        if (cs[i].fd >= 0 && now - cs[i].t0 > timeout_ns) finish(i, true);
        if (cs[i].fd < 0) {
          usleep(1000);  // after a failure: do not spin on a refusing port
          open_conn(i);
        }
      }
    }
  }
  for (Conn& k : cs) {
    if (k.fd >= 0) close(k.fd);  // unfinished at the end: not counted
  }
  close(ep);
}

int RunTcpRead(const Options& o) {
  sockaddr_in to;
  if (!Address(o, to)) return 2;
  std::atomic<bool> stop{false};
  unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
  size_t workers = std::min<size_t>(static_cast<size_t>(o.clients), cpus);
  std::vector<TcpCounters> counters(workers);
  std::vector<std::thread> threads;
  int64_t start = Now(CLOCK_MONOTONIC);
  for (size_t w = 0; w < workers; ++w) {
    int conns = static_cast<int>((static_cast<size_t>(o.clients) + w) / workers);  // split evenly
    threads.emplace_back(TcpWorker, std::cref(o), std::cref(to), conns, std::cref(stop),
                         std::ref(counters[w]));
  }
  int64_t end = start + static_cast<int64_t>(o.seconds * 1e9);
  while (Now(CLOCK_MONOTONIC) < end) usleep(10000);
  stop = true;
  for (auto& t : threads) t.join();
  double elapsed = static_cast<double>(Now(CLOCK_MONOTONIC) - start) / 1e9;
  TcpCounters all;
  for (auto& c : counters) {
    all.ok += c.ok;
    all.bad += c.bad;
    all.errors += c.errors;
    all.latency.insert(all.latency.end(), c.latency.begin(), c.latency.end());
  }
  std::printf("mode=tcp-read port=%d clients=%d seconds=%.3f connections=%" PRIu64 " bad=%" PRIu64
              " errors=%" PRIu64 " rate=%.1f p50_us=%s p99_us=%s\n",
              o.port, o.clients, elapsed, all.ok, all.bad, all.errors, static_cast<double>(all.ok) / elapsed,
              Micros(all.latency, 50).c_str(), Micros(all.latency, 99).c_str());
  return all.ok > 0 ? 0 : 1;
}

void Usage() {
  std::fprintf(stderr,
               "usage: mdl_loadgen MODE --port P [options]\n"
               "  MODE: ntp-udp | nts-udp | tcp-read | udp-simple\n"
               "  --host ADDR        IPv4 address (default 127.0.0.1)\n"
               "  --seconds S        duration, 0.1..3600 (default 5)\n"
               "  --outstanding N    requests in flight, 1..%zu (ntp-udp, udp-simple)\n"
               "  --sockets K        UDP sockets shared by the requests (ntp-udp)\n"
               "  --clients M        concurrent connecting threads, 1..256 (tcp-read)\n"
               "  --bytes B          exact reply size, 0 = any (tcp-read, udp-simple; default 4)\n"
               "  --payload B        request size, 1..1024 (udp-simple; default 1)\n"
               "  --timeout-ms T     unanswered this long counts as lost (default 500)\n"
               "  --count N          stop after N replies (ntp-udp, nts-udp, udp-simple)\n"
               "  --ke-port P        key establishment port (nts-udp; then --port is optional:\n"
               "                     the NTP port the server names)\n"
               "  --ca FILE          PEM certificates to trust for it (nts-udp; default: the system's)\n"
               "  --max-request B    placeholders only while a request stays within B bytes,\n"
               "                     256..1400 (nts-udp; default 512)\n",
               kMaxOutstanding);
}

bool ParseNumber(const char* text, double lo, double hi, double& out) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text, &end);
  if (errno || end == text || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool ParseArgs(int argc, char** argv, Options& o) {
  if (argc < 2) return false;
  o.mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    double x = 0;
    auto num = [&](double lo, double hi) { return ParseNumber(v, lo, hi, x); };
    if (a == "--host") {
      o.host = v;
    } else if (a == "--port" && num(1, 65535)) {
      o.port = static_cast<int>(x);
    } else if (a == "--seconds" && num(0.1, 3600)) {
      o.seconds = x;
    } else if (a == "--outstanding" && num(1, kMaxOutstanding)) {
      o.outstanding = static_cast<int>(x);
    } else if (a == "--sockets" && num(1, 64)) {
      o.sockets = static_cast<int>(x);
    } else if (a == "--clients" && num(1, 256)) {
      o.clients = static_cast<int>(x);
    } else if (a == "--bytes" && num(0, 65536)) {
      o.expect_bytes = static_cast<long>(x);
    } else if (a == "--payload" && num(1, 1024)) {
      o.payload = static_cast<int>(x);
    } else if (a == "--timeout-ms" && num(1, 60000)) {
      o.timeout_ms = static_cast<int>(x);
    } else if (a == "--count" && num(0, 1e12)) {
      o.count = static_cast<uint64_t>(x);
    } else if (a == "--ke-port" && num(1, 65535)) {
      o.ke_port = static_cast<int>(x);
    } else if (a == "--max-request" && num(256, 1400)) {
      o.max_request = static_cast<int>(x);
    } else if (a == "--ca") {
      o.ca_file = v;
    } else {
      std::fprintf(stderr, "mdl_loadgen: bad option or value: %s %s\n", argv[i - 1], v);
      return false;
    }
  }
  if (o.port == 0 && !(o.mode == "nts-udp" && o.ke_port != 0)) {
    std::fprintf(stderr, "mdl_loadgen: --port is required (nts-udp: --ke-port)\n");
    return false;
  }
  return true;
}

}  // namespace
}  // namespace mdl::bench

int main(int argc, char** argv) {
  using namespace mdl::bench;
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    Usage();
    return 2;
  }
  if (o.mode == "ntp-udp") return RunNtpUdp(o);
  if (o.mode == "nts-udp") return RunNtsUdp(o);
  if (o.mode == "tcp-read") return RunTcpRead(o);
  if (o.mode == "udp-simple") return RunUdpSimple(o);
  Usage();
  return 2;
}
