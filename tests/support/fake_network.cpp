// FakeNetwork and its ports.
#include "tests/support/fake_network.h"

#include <algorithm>

#include "common/net/udp_socket.h"

namespace mdl::testing {

class FakePort : public net::DatagramPort {
 public:
  explicit FakePort(FakeNetwork* network) : network_(network) { network_->ports_.push_back(this); }
  ~FakePort() override {
    if (network_) std::erase(network_->ports_, this);
  }

  std::error_code Bind(const boost::asio::ip::address& addr, uint16_t port) override {
    Close();
    if (!network_) return std::make_error_code(std::errc::network_down);
    if (port == 0) port = network_->NextEphemeral();
    for (FakePort* p : network_->ports_) {
      if (p != this && p->bound_ && p->port_ == port &&
          (p->addr_ == addr || p->addr_.is_unspecified() || addr.is_unspecified()))
        return std::make_error_code(std::errc::address_in_use);
    }
    addr_ = addr;
    port_ = port;
    bound_ = true;
    return {};
  }
  void Close() override {
    bound_ = false;
    receiver_ = nullptr;
    queue_.clear();
    send_stamp_.reset();
  }
  bool IsOpen() const override { return bound_; }
  uint16_t local_port() const override { return bound_ ? port_ : 0; }
  bool is_v6() const override { return addr_.is_v6(); }

  void Start(net::UdpReceiver* receiver) override {
    receiver_ = receiver;
    Drain();
  }
  void SetPaused(bool paused) override {
    paused_ = paused;
    Drain();
  }

  bool SendTo(std::span<const uint8_t> data, const net::Udp::endpoint& to, bool stamp) override {
    // As large as a real socket receives (the tests' clients send that much).
    if (!bound_ || !network_ || data.size() > net::UdpSocket::kMaxDatagram) return false;
    std::vector<uint8_t> bytes(data.begin(), data.end());
    if (stamp && stamper_) stamper_(bytes, network_->clock_.now());
    network_->Send(std::move(bytes), endpoint(), to);
    return true;
  }
  void SetStamper(Stamper stamper) override { stamper_ = std::move(stamper); }
  bool SendNowStamped(std::span<const uint8_t> data, const net::Udp::endpoint& to) override {
    send_stamp_.reset();
    if (!SendTo(data, to, false)) return false;
    send_stamp_ = network_->clock_.now();
    return true;
  }
  std::optional<UtcTime> TakeSendStamp() override { return send_stamp_; }

  net::Udp::endpoint endpoint() const {
    const boost::asio::ip::address a =
        addr_.is_unspecified() ? boost::asio::ip::address(boost::asio::ip::address_v4::loopback()) : addr_;
    return {a, port_};
  }
  bool Reaches(const net::Udp::endpoint& to) const {
    return bound_ && port_ == to.port() && (addr_.is_unspecified() || addr_ == to.address());
  }

  // An arrived datagram: read now, or kept until the port reads again.
  void Arrive(std::vector<uint8_t> data, const net::Udp::endpoint& from) {
    queue_.push_back({std::move(data), from, network_->clock_.monotonic()});
    Drain();
  }

  void Drain() {
    while (!queue_.empty() && receiver_ && !paused_ && network_ && !network_->held_) {
      Waiting w = std::move(queue_.front());
      queue_.pop_front();
      net::Datagram d;
      d.data = w.data;
      d.from = w.from;
      d.length = w.data.size();
      // As a kernel stamp read now: on the clock's present scale.
      d.age = network_->clock_.monotonic() - w.arrived;
      d.arrival = network_->clock_.now() - d.age;
      d.socket = this;
      net::UdpReceiver* receiver = receiver_;
      receiver->OnDatagram(d);
      receiver->OnBatchEnd();
    }
  }

  FakeNetwork* network_;

 private:
  struct Waiting {
    std::vector<uint8_t> data;
    net::Udp::endpoint from;
    Nanoseconds arrived;  // monotonic
  };
  bool bound_ = false;
  boost::asio::ip::address addr_;
  uint16_t port_ = 0;
  net::UdpReceiver* receiver_ = nullptr;
  bool paused_ = false;
  Stamper stamper_;
  std::optional<UtcTime> send_stamp_;
  std::deque<Waiting> queue_;
};

FakeNetwork::FakeNetwork(Clock& clock, boost::asio::io_context& io)
    : clock_(clock), timer_(clock.MakeTimer(io)) {}

FakeNetwork::~FakeNetwork() {
  for (FakePort* p : ports_) p->network_ = nullptr;
}

std::unique_ptr<net::DatagramPort> FakeNetwork::MakePort() { return std::make_unique<FakePort>(this); }

void FakeNetwork::Send(std::vector<uint8_t> data, const net::Udp::endpoint& from,
                       const net::Udp::endpoint& to) {
  ++sent_;
  InFlight f{clock_.now() + delay_, clock_.monotonic() + delay_, std::move(data), from, to};
  // In order of arrival; equal arrivals in order of sending.
  auto at = std::upper_bound(flight_.begin(), flight_.end(), f.due,
                             [](Nanoseconds due, const InFlight& g) { return due < g.due; });
  flight_.insert(at, std::move(f));
  Arm();
}

void FakeNetwork::Arm() {
  if (flight_.empty()) {
    timer_->Cancel();
    return;
  }
  timer_->Start(flight_.front().due - clock_.monotonic(), [this] { DeliverDue(); });
}

void FakeNetwork::DeliverDue() {
  while (!flight_.empty() && flight_.front().due <= clock_.monotonic()) {
    InFlight f = std::move(flight_.front());
    flight_.pop_front();
    if (FakePort* p = Find(f.to)) {
      p->Arrive(std::move(f.data), f.from);
    } else {
      ++lost_;
    }
  }
  Arm();
}

void FakeNetwork::Release() {
  held_ = false;
  // A port may go away while another's datagrams are read.
  std::vector<FakePort*> ports = ports_;
  for (FakePort* p : ports) {
    if (std::find(ports_.begin(), ports_.end(), p) != ports_.end()) p->Drain();
  }
}

FakePort* FakeNetwork::Find(const net::Udp::endpoint& to) const {
  for (FakePort* p : ports_)
    if (p->Reaches(to)) return p;
  return nullptr;
}

uint16_t FakeNetwork::NextEphemeral() {
  for (;;) {
    const uint16_t port = next_ephemeral_++;
    if (next_ephemeral_ == 0) next_ephemeral_ = 40000;
    bool taken = false;
    for (FakePort* p : ports_) taken = taken || (p->IsOpen() && p->local_port() == port);
    if (!taken) return port;
  }
}

}  // namespace mdl::testing
