// TCP listener with its connection-slot array.
#include "common/net/tcp_listener.h"

#include <sys/socket.h>

#include <boost/asio/write.hpp>
#include <cerrno>

namespace mdl::net {

TcpSlot::TcpSlot(TcpListener& owner, int index)
    : owner_(owner), index_(index), socket_(owner.io_), idle_(owner.io_) {}

bool TcpSlot::Send(std::span<const uint8_t> data, bool close_after) {
  if (!open_) return false;
  if (close_after) close_after_write_ = true;
  if (writing_) {
    pending_.insert(pending_.end(), data.begin(), data.end());
    return true;
  }
  // Most replies are a few bytes: try to write them at once, without a trip
  // through the loop.
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(socket_.native_handle(), data.data() + done, data.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    Close();
    return false;
  }
  if (done == data.size()) {
    if (close_after_write_) Close();
    return true;
  }
  out_.assign(data.begin() + static_cast<std::ptrdiff_t>(done), data.end());
  StartWrite();
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
                            owner_.handler_.OnData(*this, {read_buf_.data(), n});
                            if (open_ && gen == generation_) StartRead();
                          });
}

void TcpSlot::ArmIdle() {
  if (owner_.idle_timeout_.count() <= 0) return;
  ArmTimer(owner_.idle_timeout_);
}

void TcpSlot::ExpireAfter(std::chrono::milliseconds d) {
  if (open_) ArmTimer(d);
}

void TcpSlot::ArmTimer(std::chrono::milliseconds d) {
  idle_.expires_after(d);
  uint64_t gen = generation_;
  std::weak_ptr<bool> alive = owner_.alive_;
  idle_.async_wait([this, gen, alive](const boost::system::error_code& ec) {
    auto a = alive.lock();
    if (!a || !*a || ec || gen != generation_) return;
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
  out_.clear();
  pending_.clear();
  boost::system::error_code ec;
  idle_.cancel();
  socket_.close(ec);
  owner_.SlotClosed(*this);
}

TcpListener::TcpListener(boost::asio::io_context& io, TcpHandler& handler)
    : io_(io), handler_(handler), alive_(std::make_shared<bool>(true)) {}

TcpListener::~TcpListener() {
  *alive_ = false;
  boost::system::error_code ec;
  if (acceptor_) acceptor_->close(ec);
  for (auto& s : slots_) {
    if (s->open_) {
      s->open_ = false;
      s->socket_.close(ec);
      s->idle_.cancel();
    }
  }
}

std::error_code TcpListener::Listen(const boost::asio::ip::address& addr, uint16_t port) {
  Close();
  boost::system::error_code ec;
  auto acc = std::make_unique<Tcp::acceptor>(io_);
  Tcp::endpoint ep(addr, port);
  acc->open(ep.protocol(), ec);
  if (!ec) acc->set_option(Tcp::acceptor::reuse_address(true), ec);
  if (!ec) acc->bind(ep, ec);
  if (!ec) acc->listen(boost::asio::socket_base::max_listen_connections, ec);
  if (!ec) acc->non_blocking(true, ec);
  if (ec) {
    if (ec == boost::asio::error::address_in_use) return std::make_error_code(std::errc::address_in_use);
    return std::error_code(ec.value(), std::system_category());
  }
  local_port_ = acc->local_endpoint(ec).port();
  acceptor_ = std::move(acc);
  ArmAccept();
  return {};
}

void TcpListener::Close() {
  if (!acceptor_) return;
  boost::system::error_code ec;
  acceptor_->close(ec);
  acceptor_.reset();
  waiting_ = false;
}

void TcpListener::CloseAll() {
  Close();
  for (auto& s : slots_) s->Close();
}

void TcpListener::SetPaused(bool paused) {
  paused_ = paused;
  if (!paused_) ArmAccept();
}

TcpSlot* TcpListener::slot(int index) {
  if (index < 1 || static_cast<size_t>(index) > slots_.size()) return nullptr;
  return slots_[index - 1].get();
}

void TcpListener::ArmAccept() {
  if (!acceptor_ || paused_ || waiting_) return;
  waiting_ = true;
  Tcp::acceptor* acc = acceptor_.get();
  std::weak_ptr<bool> alive = alive_;
  acc->async_wait(Tcp::acceptor::wait_read, [this, acc, alive](const boost::system::error_code& ec) {
    auto a = alive.lock();
    if (!a || !*a || acc != acceptor_.get()) return;
    waiting_ = false;
    if (ec) return;
    OnAcceptReady();
  });
}

void TcpListener::OnAcceptReady() {
  // Take the whole backlog (bounded per wake-up so other sockets get a turn).
  for (int i = 0; i < 256 && acceptor_ && !paused_; ++i) {
    Tcp::socket sock(io_);
    Tcp::endpoint peer;
    boost::system::error_code ec;
    acceptor_->accept(sock, peer, ec);
    if (ec) break;
    if (open_count_ >= max_open_) {
      ++refused_over_cap_;
      sock.close(ec);
      continue;
    }
    TcpSlot& s = AllocateSlot();
    s.socket_ = std::move(sock);
    s.open_ = true;
    s.writing_ = false;
    s.close_after_write_ = false;
    ++open_count_;
    s.remote_ = peer;
    s.local_port_ = local_port_;
    uint64_t gen = s.generation_;
    handler_.OnAccept(s);
    // Connections that stay (the handler did not answer and close at once)
    // wait for requests, within the idle time-out.
    if (s.open_ && s.generation_ == gen) {
      s.socket_.set_option(Tcp::no_delay(true), ec);
      s.ArmIdle();
      if (!s.writing_ || !s.close_after_write_) s.StartRead();
    }
  }
  ArmAccept();
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

void TcpListener::SlotClosed(TcpSlot& slot) {
  --open_count_;
  free_.push(slot.index_);
  handler_.OnClosed(slot);
}

}  // namespace mdl::net
