// Upstream synchronisation: query, reply recognition, clock setting, schedule.
#include "server/upstream/sync_handler.h"

#include <fstream>
#include <sstream>

#include "common/clock/system_clock.h"
#include "common/time/calendar.h"
#include "common/time/ntp_timestamp.h"
#include "server/upstream/sync_texts.h"

namespace mdl {
namespace {

// A list file larger than this is not a server list.
constexpr std::uintmax_t kMaxListFileBytes = 4 * 1024 * 1024;

std::string DurationMs(std::chrono::nanoseconds d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(d.count()) / 1e6);
  return buf;
}

}  // namespace

UpstreamSync::UpstreamSync(boost::asio::io_context& io, ServingContext& context, net::UdpSocket& ntp_socket,
                           std::filesystem::path home, SyncHooks hooks)
    : io_(io),
      ctx_(context),
      clock_(context.clock()),
      ntp_socket_(ntp_socket),
      home_(std::move(home)),
      hooks_(std::move(hooks)),
      resolver_(io),
      reply_timer_(context.clock().MakeTimer(io)),
      random_engine_(std::random_device{}()) {}

UpstreamSync::~UpstreamSync() { *alive_ = false; }

void UpstreamSync::ReadServerList() {
  const std::filesystem::path path = home_ / std::string(kServerListFileName);
  ServerListFile file = LoadServerListFile(path, kMaxListFileBytes);
  if (!file.loaded) {
    ctx_.Diagnostic(file.problem);
    return;
  }
  list_ = std::move(file.list);
  list_loaded_ = true;
  for (const std::string& w : list_.warnings()) ctx_.Diagnostic("server list: " + w);
}

void UpstreamSync::ApplyStored(const SyncStored& f) {
  random_ = f.random;
  if (f.count_text) count_text_ = *f.count_text;
  unit_text_ = f.unit_text;
  region_ = f.region.empty() ? "NA" : f.region;
  // Only a byte can go into the reply; anything else falls back to the default.
  ctx_.ntp_reference().first_byte =
      f.ntp_first_byte >= 0 && f.ntp_first_byte <= 255 ? static_cast<uint8_t>(f.ntp_first_byte) : 36;
}

void UpstreamSync::AfterSettings() {
  CalcIntC();
  list_.CalcRandR(region_);
  list_.Select(1);
}

SyncStored UpstreamSync::Stored() const {
  return SyncStored{random_, count_text_, unit_text_, region_, ctx_.ntp_reference().first_byte};
}

void UpstreamSync::CalcIntC() {
  IntervalResult r = ::mdl::CalcIntC(count_text_, unit_text_, schedule_.SyncInterval());
  if (!r.ok) {
    ctx_.Diagnostic(r.error);
    return;
  }
  schedule_.SetInterval(r.seconds);
  if (r.unit_is_seconds && hooks_.restart_tick) hooks_.restart_tick();
}

void UpstreamSync::SetInterval(std::string count_text, std::string unit_text) {
  count_text_ = GuardSyncN(std::move(count_text));
  unit_text_ = std::move(unit_text);
  CalcIntC();
}

void UpstreamSync::SetRegion(std::string region) {
  region_ = region.empty() ? "NA" : std::move(region);
  list_.CalcRandR(region_);
  GrabRandom();
}

bool UpstreamSync::SelectServer(int position) { return list_.Select(position); }

void UpstreamSync::GrabRandom() {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  list_.GrabRandom(u(random_engine_));
}

void UpstreamSync::Tick() {
  // A query still in flight is left to its reply or its time-out.
  if (schedule_.Tick() && !busy_) SyncTimeNow();
}

void UpstreamSync::Stop() {
  *alive_ = false;
  alive_ = std::make_shared<bool>(true);
  reply_timer_->Cancel();
  resolver_.cancel();
  query_pending_ = false;
  busy_ = false;
  if (own_socket_) own_socket_->Close();
}

void UpstreamSync::OnNtpSocketClosed() {
  // A pending query's reply would come back to the closed socket.
  if (query_pending_ && !own_socket_) query_pending_ = false;
}

net::UdpSocket* UpstreamSync::QuerySocket() {
  if (ntp_socket_.IsOpen()) return &ntp_socket_;
  // NTP serving is off: query from an ephemeral socket of our own.
  if (!own_socket_) own_socket_ = std::make_unique<net::UdpSocket>(io_);
  if (!own_socket_->IsOpen()) {
    if (own_socket_->Bind(boost::asio::ip::address_v4::any(), 0)) return nullptr;
    own_socket_->Start(this);
  }
  return own_socket_.get();
}

void UpstreamSync::OnDatagram(const net::Datagram& d) { Take(d); }

void UpstreamSync::SyncTimeNow() {
  if (list_.ServerCount() == 0 || list_.RegionIndex().empty()) {
    if (list_loaded_) ctx_.Diagnostic("no upstream server of region " + region_ + " in the server list");
    return;
  }
  if (random_) GrabRandom();
  std::string host_field(list_.QueryHost());
  int pos = list_.SelectedServer() > 0 ? list_.SelectedServer() : 1;
  std::string display = list_.entries()[static_cast<size_t>(pos - 1)].display_text;
  tray_tip_ = CheckingTooltip(display);
  Changed();
  auto address = ParseUpstreamAddress(host_field);
  if (!address) {
    Failed("\"" + host_field + "\" is not a host name or address");
    return;
  }
  upstream_name_ = address->host;
  uint64_t query = ++query_id_;
  busy_ = true;
  std::weak_ptr<bool> alive = alive_;
  // The whole exchange, name look-up included, must end within the time-out.
  reply_timer_->Start(kUpstreamReplyTimeout, [this, alive, query] {
    auto a = alive.lock();
    if (!a || !*a || query != query_id_ || !busy_) return;
    query_pending_ = false;
    resolver_.cancel();
    Failed("no reply from " + upstream_name_ + " within " + std::to_string(kUpstreamReplyTimeout.count()) +
           " s");
  });
  resolver_.async_resolve(
      boost::asio::ip::udp::v4(), address->host, std::to_string(address->port),
      [this, alive, query](const boost::system::error_code& ec,
                           boost::asio::ip::udp::resolver::results_type results) {
        auto a = alive.lock();
        if (!a || !*a || query != query_id_) return;
        if (ec || results.empty()) {
          Failed("cannot resolve " + upstream_name_ + ": " + (ec ? ec.message() : "no IPv4 address"));
          return;
        }
        Send(results.begin()->endpoint(), query);
      });
}

void UpstreamSync::Send(const boost::asio::ip::udp::endpoint& to, uint64_t query) {
  net::UdpSocket* socket = QuerySocket();
  if (!socket) {
    Failed("no socket to send the query from");
    return;
  }
  upstream_ = to;
  query_socket_ = socket;
  send_stamp_ = NtpFromUtc(clock_.now()).ToBytes();
  auto request = BuildSntpRequest(send_stamp_);
  query_pending_ = true;
  send_tick_ = clock_.monotonic();
  // The kernel notes when the query left; the reply's arrival stamp pairs with it.
  if (!socket->SendNowStamped(request, to)) {
    query_pending_ = false;
    Failed("cannot send the query to " + upstream_name_);
    return;
  }
  (void)query;
}

void UpstreamSync::Failed(const std::string& why) {
  // Another server, and a retry after a delay that doubles up to 64 s
  // (whatever the interval) until a reply is applied.
  busy_ = false;
  reply_timer_->Cancel();
  GrabRandom();
  auto delay = static_cast<int32_t>(backoff_.NextDelay().count());
  schedule_.SetCounter(schedule_.SyncInterval() - delay);
  ctx_.Diagnostic("synchronisation failed: " + why + "; next attempt in " + std::to_string(delay) + " s");
  Changed();
}

bool UpstreamSync::Take(const net::Datagram& d) {
  if (d.truncated) return false;
  switch (ClassifyArrival(d.data, query_pending_, send_stamp_)) {
    case UpstreamArrival::kUpstreamReply:
      // Only the server that was asked may set the clock.
      if (d.from != upstream_) return false;
      ctx_.Uncount(Service::kNtp, Transport::kUdp);
      Apply(d);
      return true;
    case UpstreamArrival::kOneByteRetry:
      busy_ = false;
      reply_timer_->Cancel();
      GrabRandom();
      schedule_.SetCounter(schedule_.SyncInterval() - 1);
      return true;
    default:
      return false;
  }
}

void UpstreamSync::Apply(const net::Datagram& d) {
  query_pending_ = false;
  busy_ = false;
  reply_timer_->Cancel();
  Nanoseconds steady_now = clock_.monotonic();
  Nanoseconds steady_arrived = steady_now - d.age;
  net::UdpSocket* socket = query_socket_;
  ExchangeTiming timing =
      ChooseExchangeTiming(socket && socket->IsOpen() ? socket->TakeSendStamp() : 0, d.arrival_ns,
                           SystemRealtimeNs(), steady_arrived - send_tick_, steady_now - steady_arrived);
  auto round_trip = timing.round_trip;
  auto arrived = steady_now - timing.since_arrival;
  std::span<const uint8_t, kSntpPacketSize> reply(d.data.data(), kSntpPacketSize);
  if (ReplyFault fault = CheckReply(reply); fault != ReplyFault::kUsable) {
    Failed(upstream_name_ + " sent no usable time (" + ReplyFaultText(fault) + ")");
    return;
  }
  Clock& clock = clock_;
  UtcTime before = clock.now();
  Correction c = ComputeCorrection(reply, send_stamp_, round_trip, before);
  // The correction is the time at the reply's arrival; the clock is set a
  // little later (the reply waited in the queue, and was processed).
  std::error_code ec = clock.set(c.new_time + (clock_.monotonic() - arrived));
  if (ec) {
    sync_message_ = SyncFailedMessage(ec.message());
    tray_tip_ = SyncedTooltip(sync_message_);
    ctx_.Diagnostic("clock not set from " + upstream_name_ + ": " + ec.message());
    Changed();
    return;
  }
  backoff_.Reset();
  auto addr = upstream_.address();
  if (addr.is_v4()) {
    auto b = addr.to_v4().to_bytes();
    ctx_.ntp_reference().ref_id = RefIdFromAddress(b);
  } else {
    auto b = addr.to_v6().to_bytes();
    ctx_.ntp_reference().ref_id = RefIdFromAddress(b);
  }
  ctx_.ntp_reference().ref_stamp = NtpFromUtc(clock.now()).ToBytes();
  last_update_text_ = DefaultDateTimeText(clock.now(), ctx_.zone());
  sync_message_ =
      ctx_.service_build() ? std::string(kServiceSyncMessage) : AdjustedMessage(c.reply_difference_ms);
  tray_tip_ = SyncedTooltip(sync_message_);
  servers_tooltip_ = ServersTooltip(c.upstream_whole_second, c.display_ms, sync_message_);
  if (hooks_.synced) hooks_.synced();
  auto step = c.new_time - before;
  ctx_.Diagnostic("synchronised with " + upstream_name_ + " (" + AddressText(addr) + "): clock stepped by " +
                  DurationMs(step) + " ms, round trip " + DurationMs(round_trip) + " ms, path delay " +
                  DurationMs(c.path_delay) + " ms");
  Changed();
}

}  // namespace mdl
