// NtsKeHost.
#include "server/hosting/nts_ke_host.h"

#include <string>

namespace mdl::service {
namespace {

NtsKeHooks EngineHooks(EngineHandle& engine) {
  NtsKeHooks hooks;
  hooks.cookie_keys = [&engine] { return engine.nts_cookie_keys(); };
  // The lists and the port as the engine last published them.
  hooks.admit = [&engine](const boost::asio::ip::address& a) {
    const SnapshotPtr s = engine.snapshot();
    return s && (!s->access || s->access->Allows(a));
  };
  hooks.ntp_port = [&engine]() -> uint16_t {
    const SnapshotPtr s = engine.snapshot();
    return s ? s->services[Index(Service::kNtp)].udp_port : 0;
  };
  return hooks;
}

NtsKeConfig ConfigOf(const NtsKeSettings& s) { return {s.certificate, s.key, s.ntp_server}; }

}  // namespace

NtsKeHost::NtsKeHost(EngineHandle& engine, EventLog& log) : log_(log), server_(EngineHooks(engine)) {}

NtsKeHost::~NtsKeHost() { Stop(); }

void NtsKeHost::Start(const NtsKeSettings& settings, const boost::asio::ip::address& bind_at) {
  bind_at_ = bind_at;
  if (settings.enabled()) Open(settings);
}

void NtsKeHost::Open(const NtsKeSettings& settings) {
  std::string why;
  bool ok = server_.Open(ConfigOf(settings), bind_at_, settings.port, &why);
  if (!ok && bind_at_ == boost::asio::ip::address_v6::any()) {
    // A machine without IPv6 listens on IPv4 alone, as the services do.
    std::string v4_why;
    ok = server_.Open(ConfigOf(settings), boost::asio::ip::address_v4::any(), settings.port, &v4_why);
    if (!ok) why = v4_why;
  }
  open_ = ok;
  if (!ok) {
    log_.Warning("NTS key establishment on TCP " + std::to_string(settings.port) + " not started: " + why +
                 "; the server runs on without it");
    return;
  }
  running_ = settings;
  log_.Info("NTS key establishment listening on TCP " + std::to_string(server_.port()) + " with " +
            settings.certificate);
}

void NtsKeHost::Reload(const NtsKeSettings& settings) {
  if (!settings.enabled()) {
    if (!open_) return;
    Stop();
    log_.Notice("NTS key establishment stopped: NtsCertificate or NtsKey is no longer set");
    return;
  }
  if (!open_ || settings.port != running_.port) {
    Stop();
    Open(settings);
    return;
  }
  std::string why;
  if (!server_.Reload(ConfigOf(settings), &why)) {
    log_.Warning("NTS key establishment: " + why + "; the certificate in force stays");
    return;
  }
  running_ = settings;
  log_.Info("NTS key establishment: certificate re-read from " + settings.certificate);
}

void NtsKeHost::Stop() {
  server_.Close();
  open_ = false;
}

}  // namespace mdl::service
