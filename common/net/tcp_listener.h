// The TCP half of the socket object: a listener (element 0) and its array of
// connection slots. Slots are allocated lowest-free-first, grown on demand and
// reused; a slot is never destroyed while the listener object lives.
//
// Listening on "::" is an IPv4 socket and an IPv6-only one on the same port
// number: IPv4 connections are then IPv4 sockets, not IPv6 ones with mapped
// addresses (a few % of the cost of a short connection on loopback).
#pragma once

// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <span>
#include <system_error>
#include <vector>

#include "common/clock/clock.h"
#include "common/net/tcp_system.h"

namespace mdl::net {

class TcpListener;

// One accepted connection (an element >= 1 of the array).
class TcpSlot {
 public:
  int index() const { return index_; }
  bool IsOpen() const { return open_; }
  const Tcp::endpoint& remote() const { return remote_; }
  uint16_t local_port() const { return local_port_; }

  // Queues bytes for sending; with close_after the slot closes once they are
  // written (or when writing fails). Returns false when the slot is closed.
  // Sends made while a batch of new connections is being accepted go out
  // after the batch (and the handler's OnAcceptBatchEnd).
  bool Send(std::span<const uint8_t> data, bool close_after = false);
  void Close();
  // Restarts the idle time-out (called on each request).
  void Touch();
  // Closes the slot after `d` unless it is touched or re-armed before. Set
  // while the connection is being accepted, it replaces the idle time-out.
  void ExpireAfter(std::chrono::milliseconds d);

 private:
  friend class TcpListener;
  TcpSlot(TcpListener& owner, int index);
  void StartRead();
  void StartWrite();
  void ArmIdle();
  void ArmTimer(std::chrono::milliseconds d);
  // Hands the accepted descriptor to the loop (needed to wait for reads or
  // writes); connections answered and closed at once never get there.
  bool Attach();
  bool SendNow(std::span<const uint8_t> data);
  int fd() { return attached_ ? static_cast<int>(socket_.native_handle()) : raw_fd_; }
  // Open, and waiting for a request rather than finishing a reply.
  bool Idle() const { return open_ && !writing_ && !deferred_ && !close_after_write_; }

  TcpListener& owner_;
  int index_;
  bool open_ = false;
  bool writing_ = false;
  bool close_after_write_ = false;
  bool deferred_ = false;  // out_ holds a send held back until the accept batch ends
  bool attached_ = false;
  bool deadline_set_ = false;  // ExpireAfter() called since the accept
  int raw_fd_ = -1;
  uint64_t active_seq_ = 0;             // the listener's sequence at the last accept or data
  std::array<uint8_t, 16> peer_key_{};  // the peer's address as IPv6 (IPv4 mapped)
  uint64_t generation_ = 0;
  Tcp::socket socket_;
  std::unique_ptr<Timer> idle_;  // idle time-out or deadline, on the listener's clock
  Tcp::endpoint remote_;         // IPv4 peers as plain IPv4
  Tcp family_ = Tcp::v4();       // of the accepted descriptor
  uint16_t local_port_ = 0;
  std::array<uint8_t, 512> read_buf_{};
  std::vector<uint8_t> out_;      // being written
  std::vector<uint8_t> pending_;  // queued behind it
};

class TcpHandler {
 public:
  virtual ~TcpHandler() = default;
  // A connection was accepted on `slot`.
  virtual void OnAccept(TcpSlot& slot) = 0;
  virtual void OnData(TcpSlot& slot, std::span<const uint8_t> data) = 0;
  // After a batch of accepted connections, before their answers are sent.
  virtual void OnAcceptBatchEnd() {}
  // The slot closed (peer close, error, time-out, or our own Close()).
  virtual void OnClosed(TcpSlot&) {}
};

class TcpListener {
 public:
  static constexpr std::chrono::milliseconds kAcceptRetry{50};
  // Time-outs and retries run on `clock`'s timers (a manual clock's fire inside advance()).
  TcpListener(boost::asio::io_context& io, Clock& clock, TcpHandler& handler);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Listens on addr:port (port 0 = ephemeral; "::" takes IPv4 and IPv6, the
  // port free in both); closes first when listening. Address in use is
  // reported as std::errc::address_in_use.
  std::error_code Listen(const boost::asio::ip::address& addr, uint16_t port);
  // Closes the listener (element 0) only; open connections finish their work.
  void Close();
  // Closes the listener and every open connection.
  void CloseAll();
  bool IsListening() const { return doors_[0].acceptor != nullptr; }
  uint16_t local_port() const { return local_port_; }

  // While paused, connection requests wait in the backlog unaccepted.
  void SetPaused(bool paused);
  // At the cap, a new connection closes the one that has been idle longest
  // (no reply being written); when none is idle, the newcomer is closed.
  void SetMaxConnections(size_t max) { max_open_ = max; }
  // Connections from one address beyond this many open ones (0: no cap) are
  // closed as soon as they are accepted; connections being answered and
  // closed do not count.
  void SetMaxPerAddress(size_t max) { max_per_address_ = max; }
  void SetIdleTimeout(std::chrono::milliseconds t) { idle_timeout_ = t; }
  std::chrono::milliseconds idle_timeout() const { return idle_timeout_; }

  // Highest slot index ever used (the array's size less element 0).
  size_t slot_count() const { return slots_.size(); }
  size_t open_count() const { return open_count_; }
  uint64_t refused_over_cap() const { return refused_over_cap_; }
  uint64_t refused_per_address() const { return refused_per_address_; }
  uint64_t evicted_idle() const { return evicted_idle_; }
  TcpSlot* slot(int index);

 private:
  friend class TcpSlot;
  // One listening socket with its wait for connections.
  struct Door {
    std::unique_ptr<Tcp::acceptor> acceptor;
    std::unique_ptr<AcceptQueue> accept;
    // Out of descriptors (or kernel memory): the backlog is tried again after
    // a pause, since no new arrival may come to wake the loop.
    std::unique_ptr<Timer> retry;
    bool retry_armed = false;
    bool waiting = false;
  };
  std::error_code Open(Door& door, const boost::asio::ip::address& addr, uint16_t port, bool v6_only);
  std::error_code OpenPair(uint16_t port);
  void ArmAccept();
  void ArmAccept(Door& door);
  void ArmAcceptOrRetry(Door& door, bool retry_later);
  void OnAcceptWaitEnded(Door& door, const boost::system::error_code& ec, uint64_t token);
  void OnAcceptReady(Door& door);
  TcpSlot& AllocateSlot();
  size_t OpenFrom(const std::array<uint8_t, 16>& key) const;
  bool EvictOldestIdle();
  void SlotClosed(TcpSlot& slot);

  boost::asio::io_context& io_;
  Clock& clock_;
  TcpHandler& handler_;
  // [0]: the only socket, or the IPv4 one of a pair; [1]: a pair's IPv6 one.
  std::array<Door, 2> doors_;
  uint16_t local_port_ = 0;
  bool paused_ = false;
  size_t max_open_ = 1024;
  size_t max_per_address_ = 16;
  uint64_t seq_ = 0;
  std::chrono::milliseconds idle_timeout_{30000};
  std::vector<std::unique_ptr<TcpSlot>> slots_;  // slot i at slots_[i - 1]
  std::priority_queue<int, std::vector<int>, std::greater<int>> free_;
  size_t open_count_ = 0;
  uint64_t refused_over_cap_ = 0;
  uint64_t refused_per_address_ = 0;
  uint64_t evicted_idle_ = 0;
  bool in_accept_batch_ = false;
  std::vector<std::pair<int, uint64_t>> accepted_;  // slot index and generation, this batch
  std::shared_ptr<bool> alive_;
  uint64_t accept_token_ = 0;  // advanced by Listen and Close: a wait of an earlier acceptor is stale
};

}  // namespace mdl::net
