// Server engine: the serving configuration. Stored settings in and out, our
// own registry values applied, and the sockets of a service opened on its port.
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "server/core/nts_keys.h"
#include "server/core/server_engine.h"
#include "server/core/settings.h"
#include "server/serving/network_access.h"
#include "server/serving/reply_budget.h"
#include "server/serving/service_table.h"
#include "server/update/update_check.h"
#include "server/upstream/sync_handler.h"

namespace mdl {
namespace {

// The errors of a machine (or namespace) without IPv6.
bool IsNoIpv6(std::error_code ec) {
  return ec == std::errc::address_family_not_supported || ec == std::errc::address_not_available ||
         ec == std::errc::protocol_not_supported;
}

}  // namespace

void ServerEngine::LoadSettings() {
  StoredServerSettings stored = LoadServerSettings(registry_);
  daylight_name_ = clock_.zone().daylight_name;
  standard_name_ = clock_.zone().standard_name;
  run_found_ = run_wanted_ = stored.run_value_found;
  if (stored.first_start) {
    WriteFirstStartDefaults(registry_, server_name_);
    stored = LoadServerSettings(registry_);
  }
  loaded_texts_ = SavedTexts(registry_);
  if (!stored.server_name.empty()) server_name_ = stored.server_name;
  open_minimized_ = stored.open_minimized;
  ctx_.set_use_julian(stored.use_julian);
  ctx_.set_logging(stored.enable_logging);
  if (stored.sync) sync_->ApplyStored(*stored.sync);
  for (Service s : kLoadOrder) {
    const ServiceFields& f = stored.services[Index(s)];
    ServiceState& st = service(s);
    // A disabled service stays disabled and keeps its stored boxes and port,
    // so that the next save does not switch it back on.
    SetEnabledFlag(s, f.enabled);
    st.boxes_enabled = f.enabled;
    st.port_text = f.port_text;
    st.tcp_box = f.tcp;
    st.udp_box = f.udp;
    if (!f.enabled) continue;
    if (f.tcp) Open(s, Transport::kTcp);
    if (f.udp) Open(s, Transport::kUdp);
  }
}

void ServerEngine::ReloadSettings() {
  registry_.Reload();
  const StoredServerSettings stored = LoadServerSettings(registry_);
  if (stored.first_start) {
    Diagnostic("settings not re-read: " + registry_.file().string() + " holds no \"Settings\" value");
    return;
  }
  std::string changed;
  for (Service s : kLoadOrder) {
    const ServiceFields& f = stored.services[Index(s)];
    ServiceState& st = service(s);
    if (f == ServiceFields{st.enabled, st.tcp_box, st.udp_box, st.port_text}) continue;
    changed += std::string(changed.empty() ? "" : ", ") + std::string(RowOf(s).registry_value);
    st.tcp->Close();
    st.udp->Close();
    ClearOpenError(s, Transport::kTcp);
    ClearOpenError(s, Transport::kUdp);
    if (s == Service::kNtp) sync_->OnNtpSocketClosed();
    SetEnabledFlag(s, f.enabled);
    st.boxes_enabled = f.enabled;
    st.port_text = f.port_text;
    st.tcp_box = f.tcp;
    st.udp_box = f.udp;
    if (!f.enabled) continue;
    if (f.tcp) Open(s, Transport::kTcp);
    if (f.udp) Open(s, Transport::kUdp);
  }
  if (stored.sync && !(*stored.sync == sync_->Stored())) {
    changed += std::string(changed.empty() ? "" : ", ") + "Settings";
    sync_->ApplyStored(*stored.sync);
    sync_->AfterSettings();
  }
  const ServerTuning tuning = LoadServerTuning(registry_, options_.tcp_max_per_address);
  if (ApplyAccessLists(tuning.allow_networks, tuning.deny_networks))
    changed += std::string(changed.empty() ? "" : ", ") + "AllowNetworks/DenyNetworks";
  open_minimized_ = stored.open_minimized;
  ctx_.set_use_julian(stored.use_julian);
  ctx_.set_logging(stored.enable_logging);
  loaded_texts_ = SavedTexts(registry_);
  std::vector<std::string> lines;
  const std::optional<RateLimitParams> limit = LoadNtpRateLimit(registry_, lines);
  for (const std::string& line : lines) Diagnostic(line);
  ApplyNtpRateLimit(limit);
  ApplyNts();
  Diagnostic(
      "settings re-read from " + registry_.file().string() + ": " +
      (changed.empty() ? std::string("no service or synchronisation value changed") : "applied " + changed));
  ShowService(selected_);
}

void ServerEngine::ApplyNts() {
  NtsCookieSettings nts = LoadNtsCookieSettings(registry_);
  for (const std::string& line : nts.diagnostics) Diagnostic(line);
  if (nts.on && !nts::AeadUnavailableReason().empty()) {
    Diagnostic(nts::AeadUnavailableReason());
    nts.on = false;
  }
  const bool was_on = nts_keys_->keys() != nullptr;
  nts_keys_->Configure(nts.on, nts.rotation, FloorUnixSeconds(clock_.now()));
  if (nts.on != was_on) {
    Diagnostic(nts.on ? "NTS on the NTP service: cookie keys rotated every " +
                            std::to_string(nts.rotation.count()) + " h, the last " +
                            std::to_string(nts::kKeptCookieKeys) + " accepted"
                      : "NTS off: authenticated NTP requests are not answered");
  }
}

void ServerEngine::ReadBindAddress() {
  std::vector<std::string> lines;
  if (auto a = LoadBindAddress(registry_, options_.bind_address, lines)) options_.bind_address = *a;
  for (const std::string& line : lines) Diagnostic(line);
}

void ServerEngine::ApplyRegistryTuning() {
  const ServerTuning t = LoadServerTuning(registry_, options_.tcp_max_per_address);
  for (const std::string& line : t.diagnostics) Diagnostic(line);
  if (t.tcp_idle_timeout) options_.tcp_idle_timeout = *t.tcp_idle_timeout;
  if (t.tcp_max_connections) options_.tcp_max_connections = *t.tcp_max_connections;
  if (t.tcp_max_per_address) options_.tcp_max_per_address = *t.tcp_max_per_address;
  for (auto& st : services_) {
    st.tcp->SetIdleTimeout(options_.tcp_idle_timeout);
    st.tcp->SetMaxConnections(options_.tcp_max_connections);
    st.tcp->SetMaxPerAddress(options_.tcp_max_per_address);
  }
  ReplyBudget defaults;
  const ServerTuning::Budget budget = t.amplification_budget.value_or(
      ServerTuning::Budget{static_cast<uint32_t>(defaults.rate()), static_cast<uint32_t>(defaults.burst())});
  ctx_.ConfigureBudget(t.amplification_limit, budget.rate, budget.burst);
  ApplyNtpRateLimit(t.ntp_rate_limit);
  if (t.log_max_day_bytes) log_->set_max_day_bytes(*t.log_max_day_bytes);
  if (t.discipline) sync_->SetDiscipline(*t.discipline);
  if (t.max_frequency_ppm) sync_->SetMaxFrequency(*t.max_frequency_ppm);
  sync_->StartDiscipline(t.frequency_ppm);
  if (t.sync_samples) sync_->SetSamples(*t.sync_samples);
  if (t.sync_filter) sync_->SetFilter(*t.sync_filter);
  if (t.sync_regression) sync_->SetRegression(*t.sync_regression);
  if (t.upstreams_per_sync) sync_->SetUpstreamsPerSync(*t.upstreams_per_sync);
  if (t.serve_held_time) sync_->SetServeHeldTime(*t.serve_held_time);
  if (t.max_unsynced) sync_->SetMaxUnsynced(*t.max_unsynced);
  if (t.max_step) sync_->SetMaxStep(t.max_step->count() == 0 ? std::nullopt : t.max_step);
  if (t.slew_threshold) sync_->SetSlewThreshold(*t.slew_threshold);
  sync_->SetNtsTrust(t.nts_trusted_certificates);
  sync_->SetNtsPlainFallback(t.nts_plain_fallback.value_or(false));
  update_->Configure(t.update_host, t.auto_update_list, t.update_trusted_certificates);
  ApplyAccessLists(t.allow_networks, t.deny_networks);
}

bool ServerEngine::ApplyAccessLists(const std::string& allow, const std::string& deny) {
  if (allow == allow_networks_ && deny == deny_networks_) return false;
  const bool was_restricting =
      ParseNetworkList(allow_networks_).given() || !ParseNetworkList(deny_networks_).networks.empty();
  allow_networks_ = allow;
  deny_networks_ = deny;
  const NetworkList allowed = ParseNetworkList(allow);
  const NetworkList denied = ParseNetworkList(deny);
  NetworkAccess access(allowed, denied);
  const bool restricting = access.restricting();
  shared_access_ = restricting ? std::make_shared<const NetworkAccess>(access) : nullptr;
  ctx_.SetAccess(std::move(access));
  for (const std::string& line : DescribeAccessLists(allowed, denied)) Diagnostic(line);
  if (!restricting && was_restricting) Diagnostic("access lists: none in force; every client is allowed");
  return true;
}

void ServerEngine::ApplyNtpRateLimit(const std::optional<RateLimitParams>& limit) {
  const bool was_on = ctx_.rate_limit() != nullptr;
  ctx_.ConfigureRateLimit(limit);
  if (limit) {
    Diagnostic("NTP rate limit: " + DescribeRateLimit(*limit));
  } else if (was_on) {
    Diagnostic("NTP rate limit: off");
  }
}

void ServerEngine::SaveSettings() {
  SaveInput in;
  in.sync = sync_->Stored();
  in.open_minimized = open_minimized_;
  in.enable_logging = ctx_.logging();
  in.run_wanted = run_wanted_;
  in.run_found_at_start = run_found_;
  in.run_value_data =
      options_.run_value_data.empty() ? RunValueData(options_.home.string()) : options_.run_value_data;
  for (Service s : kAllServices) {
    const ServiceState& st = services_[Index(s)];
    in.services[Index(s)] = ServiceFields{st.enabled, st.tcp_box, st.udp_box, st.port_text};
  }
  in.frequency_ppm = sync_->StoredFrequency();
  in.loaded = loaded_texts_;
  SaveServerSettings(registry_, in);
}

void ServerEngine::Open(Service s, Transport transport) {
  ServiceState& st = service(s);
  const ServiceRow& row = RowOf(s);
  const bool udp = transport == Transport::kUdp;
  auto port = ParsePortField(st.port_text);
  if (udp) {
    st.udp->Close();
  } else {
    st.tcp->Close();
  }
  ctx_.PortsChanged();
  Changed();
  if (!port) {
    status_text_ = std::string(row.tree_caption) + ": \"" + st.port_text +
                   "\" is not a port number from 1 to 65535; the " + (udp ? "UDP" : "TCP") +
                   " socket stays closed.";
    Diagnostic(status_text_);
    (udp ? st.udp_failed : st.tcp_failed) = true;
    st.open_error = status_text_;
    return;
  }
  auto open = [&](const boost::asio::ip::address& at) {
    return udp ? st.udp->Bind(at, *port) : st.tcp->Listen(at, *port);
  };
  std::error_code ec = open(options_.bind_address);
  ctx_.PortsChanged();
  if (IsNoIpv6(ec) && options_.bind_address == boost::asio::ip::address_v6::any()) {
    // A machine without IPv6: every service on IPv4 alone, said once.
    Diagnostic("IPv6 is not available (" + ec.message() + "); the services listen on IPv4 only");
    options_.bind_address = boost::asio::ip::address_v4::any();
    ec = open(options_.bind_address);
  }
  if (!ec) {
    if (udp) {
      st.udp->Start(st.handler.get());
      st.udp->SetPaused(paused_);
    } else {
      st.tcp->SetPaused(paused_);
    }
    ClearOpenError(s, transport);
    return;
  }
  ReportBindError(s, ec, *port);
  (udp ? st.udp_failed : st.tcp_failed) = true;
  st.open_error = status_text_;
  // One line per failure, naming service, transport and port; the headless
  // program shows no status texts, so the line carries them.
  std::string what = ec == std::errc::address_in_use ? status_text_ : "cannot open: " + ec.message() + ".";
  if (ec == std::errc::address_in_use && s == Service::kDaytime) {
    what = status_line_;
    for (size_t at = what.find('\r'); at != std::string::npos; at = what.find('\r', at + 3))
      what.replace(at, 1, " / ");
  }
  Diagnostic(std::string(row.tree_caption) + ": " + (udp ? "UDP" : "TCP") + " port " + std::to_string(*port) +
             ": " + what);
}

void ServerEngine::ReportBindError(Service s, std::error_code ec, uint16_t port) {
  if (ec == std::errc::address_in_use) {
    status_text_ =
        "That address is already in use.  Please select a different port than " + std::to_string(port) + ".";
    if (s == Service::kDaytime) {
      status_line_ = status_text_ + "\r" +
                     "DAYTIME SERVICE SERVER ERROR - PORT: " + service(Service::kDaytime).port_text +
                     " invalid.";
    }
  } else {
    status_text_ = std::string(RowOf(s).tree_caption) + ": cannot open port " + std::to_string(port) + ": " +
                   ec.message() + ".";
  }
  Changed();
}

}  // namespace mdl
