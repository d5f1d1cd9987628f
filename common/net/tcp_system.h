// The system's side of the TCP listener: raw sends and closes of accepted
// descriptors, the listening socket's port options, and how connections are
// waited for and taken from the backlog (tcp_system*.cpp, one per platform).
#pragma once

// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace mdl::net {

using Tcp = boost::asio::ip::tcp;

// Sends what the socket takes now, without blocking: the bytes sent (0 when
// it would block), or -1 when the connection failed.
long SendSome(int fd, const uint8_t* data, size_t size);
void CloseDescriptor(int fd);
void SetNoDelay(int fd);
inline Tcp::socket::native_handle_type NativeHandle(int fd) {
  return static_cast<Tcp::socket::native_handle_type>(fd);
}

// Before bind: options that let a restarted server take its port again
// without letting another program share it.
void HoldPort(Tcp::acceptor& acceptor, boost::system::error_code& ec);
// The bind failed because the port is another socket's.
bool PortTaken(const boost::system::error_code& ec);

// One connection taken from the backlog: a plain descriptor, or (where the
// wait itself accepts) a socket already on the loop.
struct Accepted {
  int fd = -1;
  std::shared_ptr<Tcp::socket> socket;
  Tcp::endpoint remote;  // as the listening socket sees it (IPv4 mapped on "::")
  void Close();
};

class AcceptQueue {
 public:
  // Called from the loop with the token of the Wait it ends. It may outlive
  // the queue (a wait ends after its acceptor closed), so it guards its own
  // object. Set once: a wait allocates nothing of its own.
  using Ready = std::function<void(const boost::system::error_code&, uint64_t token)>;
  AcceptQueue(boost::asio::io_context& io, Ready ready);
  ~AcceptQueue();
  // `ready` runs once when a connection can be taken, or with the error of
  // the wait (operation_aborted after the acceptor's cancel).
  void Wait(Tcp::acceptor& acceptor, uint64_t token);
  // The next connection, or nullopt when the backlog is empty for now;
  // *out_of_resources when descriptors or memory ran short.
  std::optional<Accepted> Take(Tcp::acceptor& acceptor, bool* out_of_resources);
  // The listener closes: a connection taken by the wait and not handed out goes.
  void Clear();

 private:
  struct Held;  // where the wait accepts: its connection until taken (outlives the queue for a late
                // completion)
  boost::asio::io_context& io_;
  std::shared_ptr<const Ready> ready_;
  std::shared_ptr<Held> held_;
};

}  // namespace mdl::net
