// The upstream synchronisation of the engine: server list, the SNTP query
// from the NTP socket, the clock correction and the schedule.
#pragma once

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <random>
#include <string>

#include "common/net/udp_socket.h"
#include "server/protocols/ntp_core.h"
#include "server/upstream/schedule.h"
#include "server/upstream/server_list.h"
#include "server/upstream/sntp_query.h"

namespace mdl {

class ServerEngine;
struct SaveInput;
struct SyncSettingsFields;

class UpstreamSync : private net::UdpReceiver {
 public:
  explicit UpstreamSync(ServerEngine& engine);
  ~UpstreamSync() override;

  // `ReadMDLFile`, list part: reads <home>/QOR_MDLS4.MDL.
  void ReadServerList();
  void ApplySettingsValue(const SyncSettingsFields& fields);
  // After the settings: interval, region candidates, entry 1 selected.
  void AfterSettings();
  void FillSaveInput(SaveInput& in) const;

  // `SyncTimeNow`: one query.
  void SyncTimeNow();
  // The one-second `SyncNow` tick.
  void Tick();
  void Stop();
  void OnNtpSocketClosed();

  // First look at every datagram of the NTP socket: true when it was the
  // awaited reply (applied) or a one-byte arrival while a query is pending.
  bool OnNtpDatagram(const net::Datagram& d);

  // Operator commands.
  void SetRandom(bool on) { random_ = on; }
  void SetRegion(std::string region);
  bool SelectServer(int position);
  // Count and unit of the interval (`SyncN` Enter, `SyncIntC` click).
  void SetInterval(std::string count_text, std::string unit_text);

  const NtpReferenceState& reference() const { return reference_; }
  bool query_pending() const { return query_pending_; }
  const ServerList& list() const { return list_; }
  const SyncSchedule& schedule() const { return schedule_; }
  const std::string& region() const { return region_; }

 private:
  void OnDatagram(const net::Datagram& d) override;
  void CalcIntC();
  void Send(const boost::asio::ip::udp::endpoint& to, uint64_t query);
  void Apply(const net::Datagram& d);
  void Failed(const std::string& why);
  void GrabRandom();
  net::UdpSocket* QuerySocket();

  ServerEngine& engine_;
  ServerList list_;
  bool list_loaded_ = false;
  bool random_ = true;
  std::string count_text_ = "59";
  std::string unit_text_ = "Minute/s";
  std::string region_ = "NA";
  SyncSchedule schedule_;
  RetryBackoff backoff_;
  bool query_pending_ = false;
  bool busy_ = false;  // from the start of a query to its reply or failure
  uint64_t query_id_ = 0;
  NtpStampBytes send_stamp_{};
  std::chrono::steady_clock::time_point send_tick_;
  boost::asio::ip::udp::endpoint upstream_;
  std::string upstream_name_;
  NtpReferenceState reference_;
  boost::asio::ip::udp::resolver resolver_;
  boost::asio::steady_timer reply_timer_;
  std::unique_ptr<net::UdpSocket> own_socket_;  // when the NTP socket is closed
  net::UdpSocket* query_socket_ = nullptr;      // the socket the query left from
  std::mt19937_64 random_engine_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace mdl
