// TCP listener with its connection-slot array; the system's side (sends and
// closes of raw descriptors, port options, the accept wait) is tcp_system*.cpp.
#include "common/net/tcp_listener.h"

#include "common/net/address.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/write.hpp>
#include <cstring>

namespace mdl::net {
namespace {

// The address of an accepted peer as 16 bytes, IPv4 as IPv4-mapped IPv6.
std::array<uint8_t, 16> PeerKey(const Tcp::endpoint& peer) {
  const boost::asio::ip::address a = peer.address();
  if (a.is_v4()) return boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, a.to_v4()).to_bytes();
  return a.to_v6().to_bytes();
}

}  // namespace

TcpSlot::TcpSlot(TcpListener& owner, int index)
    : owner_(owner), index_(index), socket_(owner.io_), idle_(owner.clock_.MakeTimer(owner.io_)) {}

bool TcpSlot::Send(std::span<const uint8_t> data, bool close_after) {
  if (!open_) return false;
  if (close_after) close_after_write_ = true;
  if (writing_) {
    pending_.insert(pending_.end(), data.begin(), data.end());
    return true;
  }
  if (deferred_ || owner_.in_accept_batch_) {
    if (!deferred_) out_.clear();
    deferred_ = true;
    out_.insert(out_.end(), data.begin(), data.end());
    return true;
  }
  return SendNow(data);
}

bool TcpSlot::SendNow(std::span<const uint8_t> data) {
  // Most replies are a few bytes: try to write them at once, without a trip
  // through the loop.
  size_t done = 0;
  while (done < data.size()) {
    const long n = SendSome(fd(), data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) break;  // the rest goes through the loop
    Close();
    return false;
  }
  if (done == data.size()) {
    if (close_after_write_) Close();
    return true;
  }
  if (data.data() == out_.data()) {
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(done));
  } else {
    out_.assign(data.begin() + static_cast<std::ptrdiff_t>(done), data.end());
  }
  if (!Attach()) return false;
  StartWrite();
  return true;
}

bool TcpSlot::Attach() {
  if (attached_) return true;
  if (!open_) return false;
  boost::system::error_code ec;
  socket_.assign(family_, NativeHandle(raw_fd_), ec);
  if (ec) {
    Close();
    return false;
  }
  raw_fd_ = -1;
  attached_ = true;
  return true;
}

void TcpSlot::StartWrite() {
  writing_ = true;
  uint64_t gen = generation_;
  std::weak_ptr<bool> alive = owner_.alive_;
  boost::asio::async_write(socket_, boost::asio::buffer(out_),
                           [this, gen, alive](const boost::system::error_code& ec, size_t) {
                             auto a = alive.lock();
                             if (!a || !*a || gen != generation_) return;
                             writing_ = false;
                             if (ec) {
                               Close();
                               return;
                             }
                             if (!pending_.empty()) {
                               out_.swap(pending_);
                               pending_.clear();
                               StartWrite();
                               return;
                             }
                             if (close_after_write_) Close();
                           });
}

void TcpSlot::StartRead() {
  uint64_t gen = generation_;
  std::weak_ptr<bool> alive = owner_.alive_;
  socket_.async_read_some(boost::asio::buffer(read_buf_),
                          [this, gen, alive](const boost::system::error_code& ec, size_t n) {
                            auto a = alive.lock();
                            if (!a || !*a || gen != generation_) return;
                            if (ec) {
                              Close();
                              return;
                            }
                            active_seq_ = ++owner_.seq_;
                            owner_.handler_.OnData(*this, {read_buf_.data(), n});
                            if (open_ && gen == generation_) StartRead();
                          });
}

void TcpSlot::ArmIdle() {
  if (owner_.idle_timeout_.count() <= 0) return;
  ArmTimer(owner_.idle_timeout_);
}

void TcpSlot::ExpireAfter(std::chrono::milliseconds d) {
  if (!open_) return;
  deadline_set_ = true;
  ArmTimer(d);
}

void TcpSlot::ArmTimer(std::chrono::milliseconds d) {
  // The timer goes with the slot, so `this` outlives any call; two words keep
  // the call inside std::function (no allocation per connection).
  const uint64_t gen = generation_;
  idle_->Start(d, [this, gen] {
    if (gen != generation_ || !*owner_.alive_) return;
    Close();
  });
}

void TcpSlot::Touch() {
  if (open_) ArmIdle();
}

void TcpSlot::Close() {
  if (!open_) return;
  open_ = false;
  ++generation_;
  writing_ = false;
  close_after_write_ = false;
  deferred_ = false;
  out_.clear();
  pending_.clear();
  boost::system::error_code ec;
  idle_->Cancel();
  if (attached_) {
    socket_.close(ec);
  } else if (raw_fd_ >= 0) {
    CloseDescriptor(raw_fd_);
  }
  attached_ = false;
  raw_fd_ = -1;
  owner_.SlotClosed(*this);
}

TcpListener::TcpListener(boost::asio::io_context& io, Clock& clock, TcpHandler& handler)
    : io_(io), clock_(clock), handler_(handler), alive_(std::make_shared<bool>(true)) {
  for (Door& door : doors_) {
    door.retry = clock.MakeTimer(io);
    door.accept = std::make_unique<AcceptQueue>(io, [this, &door, alive = std::weak_ptr<bool>(alive_)](
                                                        const boost::system::error_code& ec, uint64_t token) {
      auto a = alive.lock();
      if (a && *a) OnAcceptWaitEnded(door, ec, token);
    });
  }
}

TcpListener::~TcpListener() {
  *alive_ = false;
  boost::system::error_code ec;
  for (Door& door : doors_)
    if (door.acceptor) door.acceptor->close(ec);
  for (auto& s : slots_) {
    if (s->open_) {
      s->open_ = false;
      if (s->attached_) s->socket_.close(ec);
      if (!s->attached_ && s->raw_fd_ >= 0) CloseDescriptor(s->raw_fd_);
      s->idle_->Cancel();
    }
  }
}

std::error_code TcpListener::Open(Door& door, const boost::asio::ip::address& addr, uint16_t port,
                                  bool v6_only) {
  boost::system::error_code ec;
  auto acc = std::make_unique<Tcp::acceptor>(io_);
  Tcp::endpoint ep(addr, port);
  acc->open(ep.protocol(), ec);
  if (!ec && addr.is_v6()) acc->set_option(boost::asio::ip::v6_only(v6_only), ec);
  if (!ec) HoldPort(*acc, ec);
  if (!ec) acc->bind(ep, ec);
  if (!ec) acc->listen(boost::asio::socket_base::max_listen_connections, ec);
  if (!ec) acc->non_blocking(true, ec);
  if (ec) {
    if (PortTaken(ec)) return std::make_error_code(std::errc::address_in_use);
    return std::error_code(ec.value(), std::system_category());
  }
  door.acceptor = std::move(acc);
  return {};
}

std::error_code TcpListener::OpenPair(uint16_t port) {
  // Tries for an ephemeral port free in both families before giving up.
  constexpr int kAttempts = 16;
  for (int attempt = 0;; ++attempt) {
    // IPv6 first: on a machine without it this fails as a dual-stack socket would.
    std::error_code ec = Open(doors_[1], boost::asio::ip::address_v6::any(), port, true);
    if (ec) return ec;
    boost::system::error_code ignored;
    const uint16_t bound = doors_[1].acceptor->local_endpoint(ignored).port();
    ec = Open(doors_[0], boost::asio::ip::address_v4::any(), bound, false);
    if (!ec) return {};
    Close();
    if (port != 0 || ec != std::errc::address_in_use || attempt + 1 == kAttempts) return ec;
  }
}

std::error_code TcpListener::Listen(const boost::asio::ip::address& addr, uint16_t port) {
  Close();
  const bool pair = addr.is_v6() && addr.is_unspecified();
  std::error_code ec = pair ? OpenPair(port) : Open(doors_[0], addr, port, addr.is_v6());
  if (ec) {
    Close();
    return ec;
  }
  boost::system::error_code ignored;
  local_port_ = doors_[0].acceptor->local_endpoint(ignored).port();
  ++accept_token_;
  ArmAccept();
  return {};
}

void TcpListener::Close() {
  bool was_open = false;
  for (Door& door : doors_) {
    door.retry->Cancel();
    door.retry_armed = false;
    door.waiting = false;
    if (!door.acceptor) continue;
    was_open = true;
    boost::system::error_code ec;
    door.acceptor->close(ec);
    door.acceptor.reset();
    door.accept->Clear();
  }
  if (was_open) ++accept_token_;
}

void TcpListener::CloseAll() {
  Close();
  for (auto& s : slots_) s->Close();
}

void TcpListener::SetPaused(bool paused) {
  paused_ = paused;
  for (Door& door : doors_) {
    if (paused_ && door.acceptor && door.waiting) {
      // The pending wait goes; connections wait in the backlog.
      boost::system::error_code ec;
      door.acceptor->cancel(ec);
    }
  }
  if (!paused_) ArmAccept();
}

TcpSlot* TcpListener::slot(int index) {
  if (index < 1 || static_cast<size_t>(index) > slots_.size()) return nullptr;
  return slots_[index - 1].get();
}

void TcpListener::ArmAccept() {
  for (Door& door : doors_) ArmAccept(door);
}

void TcpListener::ArmAccept(Door& door) {
  if (!door.acceptor || paused_ || door.waiting) return;
  door.waiting = true;
  door.accept->Wait(*door.acceptor, accept_token_);
}

void TcpListener::OnAcceptWaitEnded(Door& door, const boost::system::error_code& ec, uint64_t token) {
  if (token != accept_token_ || !door.acceptor) return;
  door.waiting = false;
  if (paused_) return;
  // A failed wait is tried again after a pause; a cancelled one (paused and
  // resumed since) takes what is there.
  if (ec && ec != boost::asio::error::operation_aborted) {
    ArmAcceptOrRetry(door, true);
    return;
  }
  OnAcceptReady(door);
}

void TcpListener::OnAcceptReady(Door& door) {
  // Take the whole backlog (bounded per wake-up so other sockets get a turn).
  // Plain descriptors first: a connection that is answered and closed at
  // once never enters the loop's poll set.
  bool out_of_resources = false;
  for (int i = 0; i < 256 && door.acceptor && !paused_; ++i) {
    std::optional<Accepted> got = door.accept->Take(*door.acceptor, &out_of_resources);
    if (!got) break;  // backlog empty (or resources short: retried below)
    const std::array<uint8_t, 16> key = PeerKey(got->remote);
    if (max_per_address_ > 0 && OpenFrom(key) >= max_per_address_) {
      ++refused_per_address_;
      got->Close();
      continue;
    }
    if (open_count_ >= max_open_ && !EvictOldestIdle()) {
      ++refused_over_cap_;
      got->Close();
      continue;
    }
    TcpSlot& s = AllocateSlot();
    s.peer_key_ = key;
    s.active_seq_ = ++seq_;
    s.deadline_set_ = false;
    if (got->socket) {
      boost::system::error_code ignored;
      if (s.socket_.is_open()) s.socket_.close(ignored);
      s.socket_ = std::move(*got->socket);
      s.raw_fd_ = -1;
      s.attached_ = true;
    } else {
      s.raw_fd_ = got->fd;
      s.attached_ = false;
    }
    s.open_ = true;
    s.writing_ = false;
    s.close_after_write_ = false;
    ++open_count_;
    s.family_ = got->remote.protocol();
    s.remote_ = Unmapped(got->remote);
    s.local_port_ = local_port_;
    accepted_.emplace_back(s.index_, s.generation_);
    in_accept_batch_ = true;
    handler_.OnAccept(s);
    in_accept_batch_ = false;
  }
  if (accepted_.empty()) {
    ArmAcceptOrRetry(door, out_of_resources);
    return;
  }
  // One log write for the batch, then the answers.
  handler_.OnAcceptBatchEnd();
  for (auto [index, gen] : accepted_) {
    TcpSlot& s = *slots_[index - 1];
    if (!s.open_ || s.generation_ != gen) continue;
    if (s.deferred_) {
      s.deferred_ = false;
      if (s.SendNow(s.out_) && s.open_ && s.generation_ == gen && !s.writing_) s.out_.clear();
      if (!s.open_ || s.generation_ != gen) continue;
    }
    // Connections that stay (the handler did not answer and close at once)
    // wait for requests, within the idle time-out.
    SetNoDelay(s.fd());
    if (!s.Attach()) continue;
    if (!s.deadline_set_) s.ArmIdle();
    if (!s.writing_ || !s.close_after_write_) s.StartRead();
  }
  accepted_.clear();
  ArmAcceptOrRetry(door, out_of_resources);
}

void TcpListener::ArmAcceptOrRetry(Door& door, bool retry_later) {
  if (!retry_later) {
    ArmAccept(door);
    return;
  }
  if (door.retry_armed) return;
  door.retry_armed = true;
  // The timer goes with the listener, so `this` outlives any call.
  Tcp::acceptor* acc = door.acceptor.get();
  door.retry->Start(kAcceptRetry, [this, &door, acc] {
    door.retry_armed = false;
    if (acc != door.acceptor.get() || paused_) return;
    OnAcceptReady(door);
  });
}

TcpSlot& TcpListener::AllocateSlot() {
  if (!free_.empty()) {
    int index = free_.top();
    free_.pop();
    return *slots_[index - 1];
  }
  slots_.push_back(std::unique_ptr<TcpSlot>(new TcpSlot(*this, static_cast<int>(slots_.size()) + 1)));
  return *slots_.back();
}

size_t TcpListener::OpenFrom(const std::array<uint8_t, 16>& key) const {
  size_t n = 0;
  for (const auto& s : slots_)
    if (s->open_ && !s->close_after_write_ && s->peer_key_ == key) ++n;
  return n;
}

bool TcpListener::EvictOldestIdle() {
  TcpSlot* oldest = nullptr;
  for (const auto& s : slots_)
    if (s->Idle() && (!oldest || s->active_seq_ < oldest->active_seq_)) oldest = s.get();
  if (!oldest) return false;
  ++evicted_idle_;
  oldest->Close();
  return true;
}

void TcpListener::SlotClosed(TcpSlot& slot) {
  --open_count_;
  free_.push(slot.index_);
  handler_.OnClosed(slot);
}

}  // namespace mdl::net
