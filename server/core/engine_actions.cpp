// Server engine: the operator's actions, as commands from the hosts.
#include <string>
#include <utility>
#include <variant>

#include "server/core/server_engine.h"
#include "server/serving/accounting.h"
#include "server/update/update_check.h"
#include "server/upstream/sync_handler.h"

namespace mdl {

struct ServerEngine::Commands {
  ServerEngine& e;
  void operator()(const cmd::SetEnabled& c) { e.SetEnabled(c.service, c.on); }
  void operator()(const cmd::SetTcp& c) { e.SetTcp(c.service, c.on); }
  void operator()(const cmd::SetUdp& c) { e.SetUdp(c.service, c.on); }
  void operator()(const cmd::SetPortText& c) { e.SetPortText(c.service, c.text); }
  void operator()(const cmd::PortEnter& c) { e.PortEnter(c.service); }
  void operator()(const cmd::ShowService& c) { e.ShowService(c.service); }
  void operator()(const cmd::SelectServer& c) {
    if (e.sync_->SelectServer(c.position)) e.Changed();
  }
  void operator()(const cmd::SetRegion& c) {
    e.sync_->SetRegion(c.region);
    e.RegionChanged();
  }
  void operator()(const cmd::SetRandom& c) {
    e.sync_->SetRandom(c.on);
    e.Changed();
  }
  void operator()(const cmd::SetInterval& c) {
    e.sync_->SetInterval(c.count_text, c.unit_text);
    e.Changed();
  }
  void operator()(const cmd::SetPaused& c) { e.SetPaused(c.paused); }
  void operator()(const cmd::SetLogging& c) { e.SetLogging(c.on); }
  void operator()(const cmd::SetOpenMinimized& c) {
    e.open_minimized_ = c.on;
    e.Changed();
  }
  void operator()(const cmd::SetRunAtStart& c) {
    e.run_wanted_ = c.on;
    e.Changed();
  }
  void operator()(const cmd::SyncNow&) { e.sync_->SyncTimeNow(); }
  void operator()(const cmd::ReloadServerList&) {
    e.sync_->ReadServerList();
    e.sync_->AfterSettings();
    e.RegionChanged();
  }
  void operator()(const cmd::ReloadSettings&) { e.ReloadSettings(); }
  void operator()(const cmd::CheckForUpdates&) { e.update_->Start(); }
  void operator()(const cmd::AnswerUpdate& c) { e.update_->Answer(c.id, c.yes); }
  void operator()(const cmd::MarkSynchronised&) { e.MarkTimeSynced(); }
  void operator()(const cmd::Shutdown&) { e.Shutdown(); }
};

void ServerEngine::Execute(const EngineCommand& command) {
  // After the shutdown the sockets are closed and the settings saved: nothing more changes.
  if (shut_down_) return;
  std::visit(Commands{*this}, command);
}

void ServerEngine::SetEnabledFlag(Service s, bool on) {
  service(s).enabled = on;
  ctx_.set_enabled(s, on);
}

void ServerEngine::SetEnabled(Service s, bool checked) {
  ServiceState& st = service(s);
  SetEnabledFlag(s, checked);
  if (checked) {
    st.boxes_enabled = true;
    if (!st.tcp->IsListening()) {
      if (st.udp_box) Open(s, Transport::kUdp);
      if (st.tcp_box) Open(s, Transport::kTcp);
    }
  } else {
    if (st.tcp->IsListening()) st.tcp->Close();
    st.boxes_enabled = false;
    // A disabled service opens nothing: its earlier failures no longer stand.
    ClearOpenError(s, Transport::kTcp);
    ClearOpenError(s, Transport::kUdp);
  }
  ShowService(s);
}

void ServerEngine::SetTcp(Service s, bool checked) {
  ServiceState& st = service(s);
  st.tcp_box = checked;
  if (checked) {
    Open(s, Transport::kTcp);
  } else {
    // Unchecked means no TCP: the listener closes at once, as the UDP box does.
    st.tcp->Close();
    ClearOpenError(s, Transport::kTcp);
  }
  ShowService(s);
}

void ServerEngine::SetUdp(Service s, bool checked) {
  ServiceState& st = service(s);
  st.udp_box = checked;
  if (checked) {
    Open(s, Transport::kUdp);
  } else {
    st.udp->Close();
    if (s == Service::kNtp) sync_->OnNtpSocketClosed();
    ClearOpenError(s, Transport::kUdp);
  }
  ShowService(s);
}

void ServerEngine::SetPortText(Service s, std::string text) {
  ServiceState& st = service(s);
  st.port_text = std::move(text);
  if (s != Service::kPrivate) st.port_tooltip = " Hit Enter to Register the Port Change ";
  Changed();
}

void ServerEngine::PortEnter(Service s) {
  // The private protocol's port takes effect only when its socket is next opened.
  if (s == Service::kPrivate) return;
  ServiceState& st = service(s);
  if (st.enabled) Open(s, Transport::kUdp);
  if (st.enabled) Open(s, Transport::kTcp);
  st.port_tooltip = " Change Registered Successfully ";
  Changed();
}

void ServerEngine::ShowService(Service s) {
  selected_ = s;
  status_text_ = ServiceStatus(s, /*panel=*/true);
  Changed();
}

std::string ServerEngine::ServiceStatus(Service s, bool panel) const {
  const ServiceState& st = services_[Index(s)];
  if (!st.open_error.empty()) return st.open_error;
  // An enabled service's transport reads ON only while its socket is open; a
  // disabled one serves nothing, and its lines show the boxes it will open.
  const bool tcp = st.enabled ? st.tcp->IsListening() : st.tcp_box;
  const bool udp = st.enabled ? st.udp->IsOpen() : st.udp_box;
  const RequestCounters& counters = ctx_.counters();
  const uint64_t tcp_count = counters.Get(s, Transport::kTcp);
  const uint64_t udp_count = counters.Get(s, Transport::kUdp);
  return panel ? SelectedStatusText(st.enabled, tcp, udp, tcp_count, udp_count)
               : SelectedSummaryText(st.enabled, tcp, udp, tcp_count, udp_count);
}

void ServerEngine::ClearOpenError(Service s, Transport transport) {
  ServiceState& st = service(s);
  (transport == Transport::kUdp ? st.udp_failed : st.tcp_failed) = false;
  if (!st.tcp_failed && !st.udp_failed) st.open_error.clear();
}

void ServerEngine::RegionChanged() {
  const bool had_note = !region_note_.empty();
  StatusUp();
  // The status line says at once whether the region has a server, not at the next tick.
  if (had_note || !region_note_.empty()) status_line_ = StatusLine();
  Changed();
}

void ServerEngine::SetPaused(bool paused) {
  paused_ = paused;
  // The ticks that keep the reference fields current stopped while paused.
  if (!paused) sync_->RefreshReference();
  for (auto& st : services_) {
    st.tcp->SetPaused(paused);
    st.udp->SetPaused(paused);
  }
  Changed();
}

void ServerEngine::SetLogging(bool on) {
  ctx_.set_logging(on);
  Changed();
}

void ServerEngine::MarkTimeSynced() {
  ctx_.set_synced(true);
  StatusUp();
  Changed();
}

}  // namespace mdl
