// How a host sets up the server engine.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

#include "common/net/datagram_port.h"
#include "server/upstream/nts_upstream.h"
#include "version.h"

namespace mdl {

struct EngineOptions {
  std::filesystem::path home;  // program folder
  bool service_build = true;   // no window
  // Every service listens here; "::" takes IPv4 and IPv6 (IPv4 alone where
  // the machine has no IPv6). The registry value "BindAddress" overrides it.
  boost::asio::ip::address bind_address = boost::asio::ip::address_v6::any();
  std::string version{kVersion};
  // Idle time-out of accepted TCP connections, the cap of open ones per
  // service and per service and source address (0: none); the registry
  // values "TcpIdleTimeout", "TcpMaxConnections" and "TcpMaxPerAddress"
  // override them.
  std::chrono::milliseconds tcp_idle_timeout{30000};
  size_t tcp_max_connections = 1024;
  size_t tcp_max_per_address = 16;
  // Time between synchronisation ticks.
  std::chrono::milliseconds tick{1000};
  // Snapshots are published at most this often, however many requests arrive.
  std::chrono::milliseconds snapshot_period{100};
  // Upstream queries go out at least this far apart, whatever the interval.
  std::chrono::milliseconds min_upstream_query_gap{16000};
  // The Run value's data written at shutdown when start with the system is
  // wanted; empty: RunValueData(home). A desktop host gives its program's
  // path (on Windows its command line).
  std::string run_value_data;
  // The first synchronisation is started at the end of start-up.
  bool sync_at_start = true;
  // false: no request log is written whatever the settings say, and the
  // settings are left alone (benchmarks, to show the log's own cost).
  bool request_log = true;
  // Makes the engine's UDP ports; empty: real sockets on the engine's clock
  // (tests give a network of their own on the manual clock).
  net::PortMaker make_port;
  // Runs the key exchange with an NTS upstream; empty: nts::AsyncKeExchange
  // (tests give a key exchange of their own).
  NtsKeRunner nts_key_exchange;
};

}  // namespace mdl
