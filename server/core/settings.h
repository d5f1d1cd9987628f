// The server's stored settings: the value formats, the first-start defaults,
// the load step that reads and validates every value, and the save step.
#pragma once

#include <array>
#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/registry/registry.h"
#include "server/serving/rate_limit.h"
#include "server/serving/service_table.h"
#include "server/upstream/sync_settings.h"

namespace mdl {

inline constexpr std::string_view kServerKey = "Software\\Meridel Server";
inline constexpr std::string_view kServerKeyPath = "HKEY_LOCAL_MACHINE\\Software\\Meridel Server";
inline constexpr std::string_view kRunKey = "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUN";
inline constexpr std::string_view kRunValueName = "Meridel Server";
inline constexpr std::string_view kServerProgramName = "QOR_MDL_Server";

// The values written at first start, in this order; "MDLServer" gets the host name.
struct DefaultValue {
  std::string_view name;
  std::string_view text;
};
constexpr DefaultValue ServiceDefault(Service s) { return {RowOf(s).registry_value, RowOf(s).default_value}; }
inline constexpr std::array<DefaultValue, 10> kServerDefaults = {{
    {"Settings", "YES:59:Minutes/s:NA:36"},
    {"MDLServer", ""},
    {"OpenMinimized", "NO"},
    ServiceDefault(Service::kTime),
    {"EnableLogging", "YES"},
    ServiceDefault(Service::kNtp),
    ServiceDefault(Service::kUnixTime),
    ServiceDefault(Service::kPrivate),
    ServiceDefault(Service::kDaytime),
    {"UseJulian", "YES"},
}};

// A service value: enabled, TCP on, UDP on ("YES" or anything else), port text.
struct ServiceFields {
  bool enabled = false;
  bool tcp = false;
  bool udp = false;
  std::string port_text;
  bool operator==(const ServiceFields&) const = default;
};
// Splits at ":"; a field equal to "YES" is true; missing fields are false or empty.
ServiceFields ParseServiceFields(std::string_view text);
// "YES:YES:NO:519" style.
std::string FormatServiceFields(const ServiceFields& fields);

// The "Settings" value: random:count:unit:region:ntp_first_byte; nullopt
// (the value is ignored) with fewer than four fields.
std::optional<SyncSettings> ParseSettingsValue(std::string_view text);
std::string FormatSettingsValue(const SyncSettings& sync);

// A plain decimal number: blanks around, an optional sign, digits with an
// optional fraction (".5" and "5." count).
bool IsPlainDecimal(std::string_view text);

// A rate in ppm ("FrequencyPpm", "MaxFrequencyPpm"): a plain decimal that a
// double holds (no exponent, no "nan" or "inf"), read the same in any locale.
std::optional<double> ParsePpm(std::string_view text);
// Three decimals: finer than any figure the discipline measures.
std::string FormatPpm(double ppm);

// The Run value's data: the program folder and the server program's name.
std::string RunValueData(std::string_view program_folder);

// Everything the load step reads. No field needs more parsing by the caller.
struct StoredServerSettings {
  bool first_start = false;  // "Settings" was empty: write the defaults, then load again
  std::optional<SyncSettings> sync;
  std::string server_name;  // "MDLServer"
  bool open_minimized = false;
  bool enable_logging = false;
  bool use_julian = false;
  bool run_value_found = false;  // the Run value is not empty
  // By Service, also for disabled services (their boxes show the stored
  // state, so a save keeps it). A missing value reads as its default; a
  // value without a port field gets the default port.
  std::array<ServiceFields, kServiceCount> services;
};
StoredServerSettings LoadServerSettings(const Registry& registry);

// "BindAddress": one address of this machine (IPv4 or IPv6) that every
// service listens on. nullopt when unset, or unusable (a line in
// `diagnostics` says so and names `fallback`, which stays).
std::optional<boost::asio::ip::address> LoadBindAddress(const Registry& registry,
                                                        const boost::asio::ip::address& fallback,
                                                        std::vector<std::string>& diagnostics);

// "MetricsAddress": where the metrics endpoint listens, "127.0.0.1:9123" or
// "[::1]:9123" (an IPv4 or IPv6 address and a port of 1 to 65535).
struct MetricsAddress {
  boost::asio::ip::address address;
  uint16_t port = 0;
  bool operator==(const MetricsAddress&) const = default;
};
struct MetricsAddressParse {
  std::optional<MetricsAddress> address;  // nullopt: empty or unusable
  std::string complaint;                  // why an unusable text is not used (empty otherwise)
};
MetricsAddressParse ParseMetricsAddress(std::string_view text);
// The value as read from the store; an unusable one leaves a line in
// `diagnostics` and no endpoint.
std::optional<MetricsAddress> LoadMetricsAddress(const Registry& registry,
                                                 std::vector<std::string>& diagnostics);

// The NTS key establishment values: "NtsCertificate" (a PEM certificate
// chain file) and "NtsKey" (its PEM key file): NTS is on when both are set;
// "NtsKePort" (1 to 65535, default 4460); "NtsNtpServer" (a host that Server
// records name; empty: none, clients stay with this server).
struct NtsKeSettings {
  std::string certificate;
  std::string key;
  uint16_t port = 4460;
  std::string ntp_server;
  bool enabled() const { return !certificate.empty() && !key.empty(); }
  bool operator==(const NtsKeSettings&) const = default;
};
// An unusable value leaves a line in `diagnostics` naming what stays.
NtsKeSettings LoadNtsKeSettings(const Registry& registry, std::vector<std::string>& diagnostics);

// Our own values beyond the window's. Each is nullopt when unset, or unusable
// (a line in `diagnostics` names the value and the default that stays).
struct ServerTuning {
  std::optional<std::chrono::seconds> tcp_idle_timeout;  // 1 s to a day
  std::optional<size_t> tcp_max_connections;             // 1 to a million
  std::optional<size_t> tcp_max_per_address;             // 0 (none) to a million
  bool amplification_limit = true;                       // "AmplificationLimit" is not "NO"
  struct Budget {
    uint32_t rate = 0;  // bytes per second
    uint32_t burst = 0;
  };
  std::optional<Budget> amplification_budget;
  std::optional<uint64_t> log_max_day_bytes;  // "0" reads as UINT64_MAX: no limit
  std::optional<bool> discipline;
  std::optional<double> max_frequency_ppm;           // above 0, up to the kernel's bound
  std::optional<double> frequency_ppm;               // within the bound in force
  std::optional<int> sync_samples;                   // 1 to 8
  std::optional<bool> sync_filter;                   // "SyncFilter": YES (the default) or NO
  std::optional<bool> sync_regression;               // "SyncRegression": YES (the default) or NO
  std::optional<int> upstreams_per_sync;             // 1 to 5
  std::optional<std::chrono::seconds> max_unsynced;  // 0: never unsynchronised
  std::optional<std::chrono::seconds> max_step;      // 0: no bound
  std::optional<bool> serve_held_time;               // "WithoutClockRight": SERVE (true) or REFUSE
  // "SlewThresholdMs": 0 (always step) to 1000 ms.
  std::optional<std::chrono::milliseconds> slew_threshold;
  std::string update_host;
  std::string auto_update_list;
  std::string update_trusted_certificates;        // a PEM file of CAs trusted besides the system's
  std::string nts_trusted_certificates;           // "NtsTrustedCertificates": CAs for NTS upstreams
  std::optional<bool> nts_plain_fallback;         // "NtsPlainFallback": YES or NO (the default)
  std::optional<RateLimitParams> ntp_rate_limit;  // "NtpRateLimit": nullopt when off (or unusable)
  // Access lists as stored; read by ParseNetworkList (server/serving/network_access.h).
  std::string allow_networks;
  std::string deny_networks;
  std::vector<std::string> diagnostics;
};
// `kept_per_address`: the per-address cap in force, named when the value is unusable.
ServerTuning LoadServerTuning(const Registry& registry, size_t kept_per_address);
// "NtpRateLimit" alone (LoadServerTuning reads it the same way), for a reload.
std::optional<RateLimitParams> LoadNtpRateLimit(const Registry& registry,
                                                std::vector<std::string>& diagnostics);

// Authenticated NTP on the NTP service: on when "NtsCertificate" and "NtsKey"
// are both set; "NtsKeyRotationHours" (1 to 8760, default 24) is the
// rotation period of the cookie keys.
struct NtsCookieSettings {
  bool on = false;
  std::chrono::hours rotation{24};
  std::vector<std::string> diagnostics;
};
NtsCookieSettings LoadNtsCookieSettings(const Registry& registry);

// Creates the server key and writes kServerDefaults in order, in one save.
void WriteFirstStartDefaults(Registry& registry, std::string_view host_name);

// What the window holds at shutdown.
struct SaveInput {
  SyncSettings sync;
  bool open_minimized = false;
  bool enable_logging = false;
  bool run_wanted = false;                            // start-with-Windows box
  bool run_found_at_start = false;                    // StoredServerSettings::run_value_found
  std::string run_value_data;                         // RunValueData(program folder)
  std::array<ServiceFields, kServiceCount> services;  // by Service
  std::optional<double> frequency_ppm;                // the confirmed correction, when disciplined
  // The stored texts when the settings were loaded (SavedTexts). A value this
  // run leaves at that text is not written, so that an edit made in the
  // store meanwhile survives the save. Empty: every value is written.
  std::map<std::string, std::string, std::less<>> loaded;
};
// Writes "Settings", "OpenMinimized", "EnableLogging", applies the Run value
// rule, then "NTP37", "UNIX519", "SNTP123", "MDL3777", "DTS13" and, when
// given, "FrequencyPpm", in one save (each only when changed, see `loaded`).
// "UseJulian" and "MDLServer" are never written here. True when saved.
bool SaveServerSettings(Registry& registry, const SaveInput& input);
// The texts of the values SaveServerSettings writes, as stored now (missing
// values are absent).
std::map<std::string, std::string, std::less<>> SavedTexts(const Registry& registry);

}  // namespace mdl
