// The NTS key establishment server as the headless server runs it: opened
// when NtsCertificate and NtsKey are set, fed by the engine (its cookie
// keys, access lists and NTP port), and brought in line with the settings
// at a reload. A failure is logged; the server runs on without it.
#pragma once

#include <boost/asio/ip/address.hpp>

#include "server/core/engine_handle.h"
#include "server/core/settings.h"
#include "server/hosting/event_log.h"
#include "server/hosting/nts_ke_server.h"

namespace mdl::service {

class NtsKeHost {
 public:
  NtsKeHost(EngineHandle& engine, EventLog& log);
  ~NtsKeHost();  // Stop()

  // At start, with the settings read before the engine's thread ran and the
  // address the services listen on (the IPv6 any-address falls back to IPv4's).
  void Start(const NtsKeSettings& settings, const boost::asio::ip::address& bind_at);
  // At a reload, with the settings as stored now: the certificate is read
  // again (a renewed one needs no restart), a new port reopens, unset files stop it.
  void Reload(const NtsKeSettings& settings);
  void Stop();

 private:
  void Open(const NtsKeSettings& settings);

  EventLog& log_;
  NtsKeServer server_;
  boost::asio::ip::address bind_at_;
  NtsKeSettings running_;  // what is in force while the server listens
  bool open_ = false;
};

}  // namespace mdl::service
