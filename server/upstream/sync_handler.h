// The upstream synchronisation of the engine: server list, the SNTP query
// from the NTP socket, the clock correction and the schedule.
#pragma once

#include <algorithm>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/clock/timer.h"
#include "common/net/udp_socket.h"
#include "server/serving/serving.h"
#include "server/upstream/discipline.h"
#include "server/upstream/nts_upstream.h"
#include "server/upstream/offset_fit.h"
#include "server/upstream/reference_quality.h"
#include "server/upstream/sample_filter.h"
#include "server/upstream/schedule.h"
#include "server/upstream/server_list.h"
#include "server/upstream/slew.h"
#include "server/upstream/sntp_query.h"
#include "server/upstream/sync_settings.h"
#include "server/upstream/sync_status.h"

namespace mdl {

// What the synchronisation tells its engine.
struct SyncHooks {
  std::function<void()> synced;        // the clock was set from an upstream
  std::function<void()> changed;       // a text a display shows changed
  std::function<void()> restart_tick;  // the interval's unit became seconds
  // A line the diagnostic log writes at warning priority.
  std::function<void(const std::string&)> warning;
};

class UpstreamSync : private net::UdpReceiver, public DatagramTap {
 public:
  // `ntp_socket`: the NTP service's port, which the query leaves from when it
  // is open; `make_port` makes the port of its own otherwise.
  UpstreamSync(boost::asio::io_context& io, ServingContext& context, net::DatagramPort& ntp_socket,
               net::PortMaker make_port, std::filesystem::path home, SyncHooks hooks);
  ~UpstreamSync() override;

  // `ReadMDLFile`, list part: reads <home>/QOR_MDLS4.MDL.
  void ReadServerList();
  void ApplyStored(const SyncSettings& stored);
  // After the settings: interval, region candidates, entry 1 selected.
  void AfterSettings();
  SyncSettings Stored() const;

  // `SyncTimeNow`: one query.
  void SyncTimeNow();
  // The one-second `SyncNow` tick.
  void Tick();
  void Stop();
  void OnNtpSocketClosed();

  // First look at every datagram of the NTP socket: true when it was the
  // awaited reply (applied) or a one-byte arrival while a query is pending.
  bool Take(const net::Datagram& d) override;

  // Registry tuning: the largest step after the first synchronisation
  // (nullopt: no bound), and the least time between two upstream queries.
  void SetMaxStep(std::optional<std::chrono::seconds> max_step) { step_guard_.SetMaxStep(max_step); }
  void SetMinQueryGap(std::chrono::nanoseconds gap) { gate_.SetGap(gap); }
  // After the first synchronisation, corrections smaller than this are
  // slewed rather than stepped (zero: always stepped).
  void SetSlewThreshold(std::chrono::milliseconds threshold) { slew_threshold_ = threshold; }
  static constexpr std::chrono::milliseconds kDefaultSlewThreshold{128};
  // The slew under way, if any.
  const std::optional<Slew>& slew() const { return slew_; }
  // Frequency correction between synchronisations (on by default).
  void SetDiscipline(bool on);
  // The largest correction either way, in ppm (MaxFrequencyPpm).
  void SetMaxFrequency(double ppm) { discipline_.SetMaxPpm(ppm); }
  // After the settings: the discipline takes over from the rate the clock
  // runs at, or from `stored` (the one confirmed before the last stop).
  void StartDiscipline(std::optional<double> stored);
  // What to store for the next start: the confirmed correction, while the
  // discipline is on.
  std::optional<double> StoredFrequency() const;
  // Without the right to set the machine's clock: serve the upstream's time
  // held in the process (true, the default) or stay unsynchronised.
  void SetServeHeldTime(bool on) { serve_held_ = on; }
  // The first try to set the machine's clock to the held time comes this
  // long after the hold; each failure doubles it up to kHoldRetryMax.
  static constexpr std::chrono::seconds kHoldRetryFirst{60};
  static constexpr std::chrono::seconds kHoldRetryMax{3600};
  // Whether the last outcome deserves a warning (a failure, or a held time).
  bool sync_warning() const { return sync_warning_; }
  // Facts of the synchronisations for the status command and the metrics.
  const SyncStatus& status() const { return status_; }
  // Exchanges per synchronisation, kBurstSpacing apart; the one with the
  // least path delay sets the clock (1: a single exchange).
  void SetSamples(int samples) { samples_ = samples < 1 ? 1 : samples; }
  // The clock filter across synchronisations (on by default): the exchange
  // of least delay and age among each upstream's last kKept, not only this
  // burst's.
  void SetFilter(bool on) { filter_on_ = on; }
  // With the filter on: the correction and the rate figure come from a
  // weighted line through each upstream's last FitHistory::kKept exchanges
  // (on by default).
  void SetRegression(bool on) { fit_on_ = on; }
  // A fitted slope is a rate figure as SlopeFigure (offset_fit.h) allows.
  // How far the confirmed rate correction is taken to be from the slope
  // when drawing the line's value now (ten times that unconfirmed).
  static constexpr double kFitPriorPpmError = 0.3;
  // Exchanges older than this leave the line (the older weigh less anyway).
  static constexpr std::chrono::hours kFitMaxAge{24};
  // Distinct servers of the region asked at each synchronisation (1 to
  // kMaxUpstreams); with more than one, a majority of those that answered
  // must agree or the clock is left alone.
  void SetUpstreamsPerSync(int n) { upstreams_per_sync_ = std::clamp(n, 1, kMaxUpstreams); }
  static constexpr int kMaxUpstreams = 5;
  // A filtered exchange older than this many intervals (and than a day) is
  // no candidate.
  static constexpr int kFilterIntervals = 8;
  // A correction of `amount` was applied to the clock (a step or a slew):
  // the filter's older offsets are brought to the present by it.
  void OnCorrectionApplied(Nanoseconds amount) { filter_.OnCorrectionApplied(amount); }
  // How long after the last good synchronisation NTP replies say
  // unsynchronised (leap 3, stratum 16); zero: never.
  void SetMaxUnsynced(std::chrono::seconds limit) {
    max_unsynced_ = limit;
    RefreshReference();
  }
  static constexpr std::chrono::seconds kDefaultMaxUnsynced{86400};
  // The reference fields of NTP replies for the time now (the dispersion
  // grows with the age of the last synchronisation).
  void RefreshReference();
  static constexpr std::chrono::seconds kBurstSpacing{2};
  // NTS upstreams (`nts://` lines): a PEM file of CAs trusted besides the
  // system's for the key exchange (empty: the system's alone); whether a
  // failed key exchange falls back to plain NTP with that server (off: the
  // synchronisation fails); how the key exchange runs (empty:
  // nts::AsyncKeExchange on the engine's io_context).
  void SetNtsTrust(std::string ca_file) { nts_trusted_ = std::move(ca_file); }
  void SetNtsPlainFallback(bool on) { nts_plain_fallback_ = on; }
  void SetNtsKeRunner(NtsKeRunner runner) { ke_runner_ = std::move(runner); }

  // Operator commands.
  void SetRandom(bool on) { random_ = on; }
  void SetRegion(std::string region);
  bool SelectServer(int position);
  // Count and unit of the interval (`SyncN` Enter, `SyncIntC` click).
  void SetInterval(std::string count_text, std::string unit_text);

  bool query_pending() const { return query_pending_; }
  bool random() const { return random_; }
  const std::string& count_text() const { return count_text_; }
  const std::string& unit_text() const { return unit_text_; }
  const std::string& sync_message() const { return sync_message_; }
  const std::string& tray_tip() const { return tray_tip_; }
  const std::string& servers_tooltip() const { return servers_tooltip_; }
  const std::string& last_update_text() const { return last_update_text_; }
  const ServerList& list() const { return list_; }
  const SyncSchedule& schedule() const { return schedule_; }
  const std::string& region() const { return region_; }
  // The step of the last synchronisation: how far off the time served
  // before it was (upstream minus ours).
  std::optional<Nanoseconds> served_error() const { return served_error_; }
  bool discipline_on() const { return discipline_on_; }
  double frequency_ppm() const { return discipline_on_ ? discipline_.correction_ppm() : 0; }
  double max_frequency_ppm() const { return discipline_.max_ppm(); }

 private:
  void OnDatagram(const net::Datagram& d) override;
  void CalcIntC();
  void StartQuery(bool asked);
  void Send(const boost::asio::ip::udp::endpoint& to, uint64_t query);
  // The whole exchange, name look-up included, must end within the time-out.
  void StartReplyTimer(uint64_t query);
  // Looks `host` up and sends query `query` to it.
  void Resolve(const std::string& host, uint16_t port, uint64_t query);
  // NTS: the key exchange with `address` before the exchange `query`, and its failure.
  void StartKe(const UpstreamAddress& address, uint64_t query);
  void KeFailed(const UpstreamAddress& address, uint64_t query, const std::string& error);
  // A datagram from the NTS upstream asked echoing the query's transmit
  // timestamp: applied when it authenticates, a NAK ends the exchange,
  // anything else is dropped and counted.
  bool TakeNts(const net::Datagram& d);
  // The NTS session key of a list field (empty for a plain one).
  static std::string NtsKeyOf(const std::string& host_field);
  void Refuse(const std::string& shown, const std::string& why);
  bool OtherServerPossible() const;
  void GrabOtherThan(const std::string& host_field);
  // One usable exchange: the correction, when its reply arrived (monotonic),
  // its round trip and the clock's reading when it was taken.
  struct Sample {
    Correction c;
    Nanoseconds arrived;
    Nanoseconds round_trip;
    UtcTime before;
    SyncQuality quality;
    int upstream_stratum = 0;
    std::array<uint8_t, 4> upstream_ref_id{};
    // The filter's correction total when it was taken: the corrections
    // since are no longer part of its offset.
    Nanoseconds corrections_at{0};
    bool nts = false;  // the reply was authenticated by NTS
    // How long after the reply's arrival `before` was read (the line takes
    // offsets at the arrival, as the kernel stamped it).
    Nanoseconds read_late{0};
    // Upstream minus ours at the arrival (`before` less what it was read late).
    Nanoseconds offset() const { return c.new_time - before + read_late; }
    // Set through the fit: its slope for the discipline, when certain enough.
    bool fitted = false;
    std::optional<double> rate_figure;
  };
  struct Burst {
    int taken = 0;
    std::optional<Sample> best;
  };
  // One upstream's answer within a synchronisation of several.
  struct Answer {
    std::string name;
    std::string host_field;
    boost::asio::ip::udp::endpoint address;
    Sample sample;
    int taken = 0;
    std::string how;            // how the filter chose its sample, for the diagnostic
    Nanoseconds offset{0};      // brought to now
    Nanoseconds half_width{0};  // of its correctness interval
  };
  // A synchronisation asking several upstreams in turn.
  struct Round {
    int wanted = 1;
    int asked = 0;                                    // queries sent to distinct addresses
    std::vector<std::string> hosts;                   // host names tried, lower case
    std::vector<boost::asio::ip::address> addresses;  // addresses asked
    std::vector<Answer> answers;
    std::vector<std::string> silent;  // "name (why)"
  };
  void Apply(const net::Datagram& d);
  void NextBurstQuery();
  // The exchanges with the upstream asked are done; `best` is this burst's.
  void FinishUpstream(const Sample& best, int taken);
  // Asks `host_field` (list position `pos`, for the tooltip).
  void AskHost(const std::string& host_field, int pos);
  void NextUpstream();
  void FinishRound();
  // `how` replaces the "least of N exchanges" note when not empty.
  void Commit(const Sample& sample, int taken, const std::string& how = {});
  void Failed(const std::string& why);
  void GrabRandom();
  net::DatagramPort* QuerySocket(const boost::asio::ip::udp::endpoint& to);
  void Discipline(const Sample& sample, Nanoseconds step, Nanoseconds unslewed);
  void WatchClock();
  void HoldIfLost();
  // Keeps `target` in the process when the machine's clock refused it for
  // want of the right (and serving it so is allowed); false otherwise.
  bool HoldTime(UtcTime target, const std::error_code& refused);
  void RetryHeldTime();
  // Runs the clock at `ppm` (plus the slew under way, planned again on that
  // base); false (the rate in force stays) when it cannot.
  bool ApplyFrequency(double ppm);
  // Whether a correction of `offset` is slewed (said once where it cannot be).
  bool SlewWanted(Nanoseconds offset);
  // Makes up `offset` by a slew from now; false (nothing changed) when the
  // clock's rate cannot be changed.
  bool BeginSlew(Nanoseconds offset);
  // The corrections applied to the clock by monotonic `t` (the filter's
  // total less what the slew under way has still to make up then).
  Nanoseconds CorrectionsAt(Nanoseconds t) const;
  // Those plus what the base rate correction has added by `t` (for the fit).
  Nanoseconds AppliedAt(Nanoseconds t) const;
  // The clock runs at base rate `ppm` from now.
  void BaseRate(double ppm);
  // Ends the slew under way: the clock runs at the base rate again.
  void EndSlew();
  void RunSlew(const Slew& slew);
  std::string FrequencyText() const;

  void Changed() {
    if (hooks_.changed) hooks_.changed();
  }

  boost::asio::io_context& io_;
  ServingContext& ctx_;
  Clock& clock_;
  net::DatagramPort& ntp_socket_;
  net::PortMaker make_port_;
  std::filesystem::path home_;
  SyncHooks hooks_;
  ServerList list_;
  bool list_loaded_ = false;
  bool random_ = true;
  std::string count_text_ = "59";
  std::string unit_text_ = "Minute/s";
  std::string region_ = "NA";
  std::optional<std::string> first_byte_text_;  // a stored first byte that is no byte, kept as written
  SyncSchedule schedule_;
  RetryBackoff backoff_;
  QueryGate gate_;
  StepGuard step_guard_;
  bool deferred_ = false;  // a due query waits for the gate
  bool query_pending_ = false;
  bool forgery_reported_ = false;  // per query: one line for replies that do not match
  bool busy_ = false;              // from the start of a query to its reply or failure
  uint64_t query_id_ = 0;
  NtpStampBytes send_stamp_{};       // as sent: the send second and a nonce
  NtpStampBytes send_real_stamp_{};  // the real send time, for the correction
  Nanoseconds send_tick_{0};
  boost::asio::ip::udp::endpoint upstream_;
  std::string upstream_name_;
  std::string query_host_field_;  // the list's field 1 of the server asked
  std::string sync_message_;
  std::string tray_tip_;
  std::string servers_tooltip_;
  std::string last_update_text_ = "Never";
  boost::asio::ip::udp::resolver resolver_;
  std::unique_ptr<Timer> reply_timer_;
  std::unique_ptr<Timer> burst_timer_;
  std::unique_ptr<Timer> hold_timer_;  // the next try to set the machine's clock to the held time
  std::unique_ptr<Timer> slew_timer_;  // the end of the slew under way
  std::chrono::seconds hold_retry_{kHoldRetryFirst};
  bool serve_held_ = true;
  bool sync_warning_ = false;
  int samples_ = 1;
  std::optional<Burst> burst_;
  bool filter_on_ = true;
  int upstreams_per_sync_ = 1;
  SampleFilter<Sample> filter_;
  bool fit_on_ = true;
  FitHistory fit_;
  // The base rate in force and what the ones before added.
  struct RateRecord {
    Nanoseconds since{0};
    double ppm = 0;
    double added_ns = 0;
  } rate_;
  std::optional<Round> round_;
  Nanoseconds upstream_started_{0};                // when the upstream now asked was first asked
  std::string fewer_said_;                         // region and count of the last "fewer servers" line
  std::unique_ptr<net::DatagramPort> own_socket_;  // when the NTP socket is closed
  net::DatagramPort* query_socket_ = nullptr;      // the port the query left from
  std::mt19937_64 random_engine_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  bool discipline_on_ = true;
  FrequencyDiscipline discipline_;
  bool rate_error_reported_ = false;
  bool rate_applied_ = false;
  std::chrono::milliseconds slew_threshold_ = kDefaultSlewThreshold;
  std::optional<Slew> slew_;
  bool slew_refused_said_ = false;
  bool held_slew_said_ = false;
  std::optional<Nanoseconds> served_error_;
  std::optional<SyncQuality> quality_;  // of the last synchronisation
  SyncStatus status_;
  std::chrono::seconds max_unsynced_ = kDefaultMaxUnsynced;
  bool unsynced_told_ = false;
  std::string no_server_said_;  // region and list size of the last "no upstream server" line
  // The clock against the monotonic scale when last looked at.
  struct ClockWatch {
    Nanoseconds at;
    Nanoseconds gap;
  };
  std::optional<ClockWatch> watch_;
  // NTS.
  NtsKeRunner ke_runner_;
  std::string nts_trusted_;
  bool nts_plain_fallback_ = false;
  NtsSessions nts_;
  bool query_nts_ = false;  // the query under way is NTS-protected
  std::string nts_key_;     // its session's
  std::array<uint8_t, kNtsUniqueIdBytes> unique_id_{};
  std::optional<nts::SessionKeys> query_keys_;  // the keys its request was sealed with
  bool nts_fault_reported_ = false;             // per query: one line for replies not authentic
};

}  // namespace mdl
