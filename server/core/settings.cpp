// The server's stored settings over the registry module.
#include "server/core/settings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

#include "common/registry/registry_number.h"
#include "server/upstream/discipline.h"

namespace mdl {
namespace {

constexpr std::string_view kYes = "YES";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> SplitColons(std::string_view text) {
  std::vector<std::string_view> fields;
  for (;;) {
    size_t colon = text.find(':');
    fields.push_back(text.substr(0, colon));
    if (colon == std::string_view::npos) return fields;
    text.remove_prefix(colon + 1);
  }
}

std::string_view YesNo(bool flag) { return flag ? "YES" : "NO"; }

// The integer part of a numeric text (fraction cut off), or nullopt when it
// does not fit 16 signed bits.
std::optional<int> IntegerPart16(std::string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  long value = 0;
  for (char c : text) {
    if (!IsDigit(c)) break;
    value = value * 10 + (c - '0');
    if (value > 32768) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < -32768 || value > 32767) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

bool IsPlainDecimal(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  size_t digits = 0;
  size_t i = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  }
  return digits > 0 && i == text.size();
}

std::optional<double> ParsePpm(std::string_view text) {
  if (!IsPlainDecimal(text)) return std::nullopt;
  text = Trim(text);
  if (text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string FormatPpm(double ppm) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", ppm);
  return buf;
}

ServiceFields ParseServiceFields(std::string_view text) {
  std::vector<std::string_view> fields = SplitColons(text);
  ServiceFields out;
  out.enabled = fields[0] == kYes;
  out.tcp = fields.size() > 1 && fields[1] == kYes;
  out.udp = fields.size() > 2 && fields[2] == kYes;
  if (fields.size() > 3) out.port_text = std::string(fields[3]);
  return out;
}

std::string FormatServiceFields(const ServiceFields& fields) {
  std::string out;
  for (bool flag : {fields.enabled, fields.tcp, fields.udp}) {
    out += YesNo(flag);
    out += ':';
  }
  return out + fields.port_text;
}

std::optional<SyncSettings> ParseSettingsValue(std::string_view text) {
  SyncSettings out;
  std::vector<std::string_view> fields = SplitColons(text);
  if (fields.size() < 4) return std::nullopt;
  out.random = fields[0] == kYes;
  if (IsPlainDecimal(fields[1])) out.count_text = std::string(fields[1]);
  out.unit_text = std::string(fields[2]);
  std::string_view region = Trim(fields[3]);
  out.region = region.empty() ? "NA" : std::string(region);
  if (fields.size() > 4 && IsPlainDecimal(fields[4])) {
    // Out of 16-bit range gives the default rather than an arbitrary byte.
    out.ntp_first_byte = IntegerPart16(fields[4]).value_or(kDefaultNtpFirstByte);
  }
  // A field that is no byte is served as 36 but written back as it stands.
  if (fields.size() > 4 && (out.ntp_first_byte < 0 || out.ntp_first_byte > 255 ||
                            !IsPlainDecimal(fields[4]) || !IntegerPart16(fields[4]))) {
    out.ntp_first_byte = kDefaultNtpFirstByte;
    out.ntp_first_byte_text = std::string(fields[4]);
  }
  return out;
}

std::string FormatSettingsValue(const SyncSettings& sync) {
  std::string out(YesNo(sync.random));
  const std::string_view count = sync.count_text ? std::string_view(*sync.count_text) : std::string_view();
  for (std::string_view field : {count, std::string_view(sync.unit_text), std::string_view(sync.region)}) {
    out += ':';
    out += field;
  }
  return out + ":" +
         (sync.ntp_first_byte_text ? *sync.ntp_first_byte_text : std::to_string(sync.ntp_first_byte));
}

std::string RunValueData(std::string_view program_folder) {
  std::string out(program_folder);
  if (out.empty() || out.back() != '/') out += '/';
  out += kServerProgramName;
  return out;
}

StoredServerSettings LoadServerSettings(const Registry& registry) {
  auto read = [&](std::string_view name) { return registry.ReadValue(kServerKey, name); };
  StoredServerSettings out;
  out.run_value_found = !registry.ReadValue(kRunKey, kRunValueName).empty();
  const std::string settings = read("Settings");
  out.first_start = settings.empty();
  out.sync = ParseSettingsValue(settings);
  out.server_name = read("MDLServer");
  out.open_minimized = read("OpenMinimized") == kYes;
  out.use_julian = read("UseJulian") == kYes;
  out.enable_logging = read("EnableLogging") == kYes;
  for (const ServiceRow& row : kServiceTable) {
    const std::string text = read(row.registry_value);
    ServiceFields fields = ParseServiceFields(text.empty() ? row.default_value : text);
    // A value that is missing after the first start does not turn its
    // service on: it stays off, with the default boxes and port.
    if (text.empty() && !out.first_start) fields.enabled = false;
    out.services[Index(row.service)] = std::move(fields);
  }
  return out;
}

std::optional<boost::asio::ip::address> LoadBindAddress(const Registry& registry,
                                                        const boost::asio::ip::address& fallback,
                                                        std::vector<std::string>& diagnostics) {
  const std::string text = registry.ReadValue(kServerKey, "BindAddress");
  if (text.empty()) return std::nullopt;
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(text, ec);
  if (!ec) return address;
  diagnostics.push_back("BindAddress \"" + text + "\" is not an IPv4 or IPv6 address; listening on " +
                        fallback.to_string());
  return std::nullopt;
}

MetricsAddressParse ParseMetricsAddress(std::string_view text) {
  MetricsAddressParse out;
  if (text.empty()) return out;
  auto refuse = [&] {
    out.complaint = "MetricsAddress \"" + std::string(text) +
                    "\" is not <address>:<port> (such as 127.0.0.1:9123 or [::1]:9123); no metrics endpoint";
    return out;
  };
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return refuse();
  std::string_view host = text.substr(0, colon);
  const std::string_view port_text = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return refuse();
    host = host.substr(1, host.size() - 2);
    if (host.find(':') == std::string_view::npos) return refuse();  // brackets hold IPv6 only
  } else if (host.find(':') != std::string_view::npos) {
    return refuse();  // IPv6 without brackets: the port cannot be told apart
  }
  // No zone index ("fe80::1%eth0"): its text does not name one interface everywhere.
  if (host.find('%') != std::string_view::npos) return refuse();
  if (port_text.empty() || port_text.size() > 5 ||
      port_text.find_first_not_of("0123456789") != std::string_view::npos)
    return refuse();
  const unsigned long port = std::stoul(std::string(port_text));
  if (port == 0 || port > 65535) return refuse();
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(std::string(host), ec);
  if (ec) return refuse();
  out.address = MetricsAddress{address, static_cast<uint16_t>(port)};
  return out;
}

NtsCookieSettings LoadNtsCookieSettings(const Registry& registry) {
  NtsCookieSettings out;
  out.on = !registry.ReadValue(kServerKey, "NtsCertificate").empty() &&
           !registry.ReadValue(kServerKey, "NtsKey").empty();
  if (std::string text = registry.ReadValue(kServerKey, "NtsKeyRotationHours"); !text.empty()) {
    if (auto v = ReadRegistryNumber(text, 8760); v && *v >= 1) {
      out.rotation = std::chrono::hours(*v);
    } else {
      out.diagnostics.push_back("NtsKeyRotationHours \"" + text +
                                "\" is not a number of hours from 1 to 8760; 24 kept");
    }
  }
  return out;
}

std::optional<MetricsAddress> LoadMetricsAddress(const Registry& registry,
                                                 std::vector<std::string>& diagnostics) {
  MetricsAddressParse parsed = ParseMetricsAddress(registry.ReadValue(kServerKey, "MetricsAddress"));
  if (!parsed.complaint.empty()) diagnostics.push_back(std::move(parsed.complaint));
  return parsed.address;
}

NtsKeSettings LoadNtsKeSettings(const Registry& registry, std::vector<std::string>& diagnostics) {
  NtsKeSettings out;
  auto read = [&](std::string_view name) { return registry.ReadValue(kServerKey, name); };
  out.certificate = read("NtsCertificate");
  out.key = read("NtsKey");
  if (out.certificate.empty() != out.key.empty())
    diagnostics.push_back(std::string(out.certificate.empty() ? "NtsKey" : "NtsCertificate") +
                          " is set without " + (out.certificate.empty() ? "NtsCertificate" : "NtsKey") +
                          "; NTS stays off");
  if (std::string text = read("NtsKePort"); !text.empty()) {
    if (auto v = ReadRegistryNumber(text, 65535); v && *v > 0) {
      out.port = static_cast<uint16_t>(*v);
    } else {
      diagnostics.push_back("NtsKePort \"" + text + "\" is not a port number from 1 to 65535; 4460 kept");
    }
  }
  const std::string server = read("NtsNtpServer");
  const bool printable =
      std::all_of(server.begin(), server.end(), [](char c) { return c > 0x20 && c < 0x7f; });
  if (printable && server.size() <= 255) {
    out.ntp_server = server;
  } else {
    diagnostics.push_back("NtsNtpServer is not a host name or address; no Server record is sent");
  }
  return out;
}

ServerTuning LoadServerTuning(const Registry& registry, size_t kept_per_address) {
  ServerTuning out;
  auto read = [&](std::string_view name) { return registry.ReadValue(kServerKey, name); };
  // A value that is set but unusable gets a line naming the default that stays.
  auto complain = [&](std::string_view name, const std::string& text, std::string_view why) {
    out.diagnostics.push_back(std::string(name) + " \"" + text + "\" " + std::string(why));
  };
  // Bounds out of range are silently ignored for these two, as they always were.
  if (auto v = ReadRegistryNumber(read("TcpIdleTimeout"), 86400); v && *v > 0)
    out.tcp_idle_timeout = std::chrono::seconds(*v);
  if (auto v = ReadRegistryNumber(read("TcpMaxConnections"), 1000000); v && *v > 0)
    out.tcp_max_connections = static_cast<size_t>(*v);
  if (std::string text = read("TcpMaxPerAddress"); !text.empty()) {
    if (auto v = ReadRegistryNumber(text, 1000000)) {
      out.tcp_max_per_address = static_cast<size_t>(*v);
    } else {
      complain("TcpMaxPerAddress", text,
               "is not a number of connections; " + std::to_string(kept_per_address) + " kept");
    }
  }
  if (std::string text = read("AmplificationBudget"); !text.empty()) {
    const size_t colon = text.find(':');
    if (colon != std::string::npos) {
      auto rate = ReadRegistryNumber(std::string_view(text).substr(0, colon), 100000000);
      auto burst = ReadRegistryNumber(std::string_view(text).substr(colon + 1), 100000000);
      if (rate && burst) {
        out.amplification_budget =
            ServerTuning::Budget{static_cast<uint32_t>(*rate), static_cast<uint32_t>(*burst)};
      } else {
        complain("AmplificationBudget", text, "is not <bytes per second>:<burst bytes>; default kept");
      }
    }
  }
  out.amplification_limit = read("AmplificationLimit") != "NO";
  if (std::string text = read("LogMaxBytes"); !text.empty()) {
    if (auto v = ReadRegistryNumber(text, UINT64_MAX)) {
      out.log_max_day_bytes = *v == 0 ? UINT64_MAX : *v;
    } else {
      complain("LogMaxBytes", text, "is not a number of bytes; 1073741824 kept");
    }
  }
  if (std::string text = read("Discipline"); !text.empty()) {
    if (text == "YES" || text == "NO") {
      out.discipline = text == "YES";
    } else {
      complain("Discipline", text, "is not YES or NO; YES kept");
    }
  }
  // The bound of the frequency correction, then the correction confirmed
  // before the last stop, which must lie within it.
  if (std::string text = read("MaxFrequencyPpm"); !text.empty()) {
    if (auto v = ParsePpm(text); v && *v > 0 && *v <= FrequencyDiscipline::kKernelMaxPpm) {
      out.max_frequency_ppm = v;
    } else {
      complain("MaxFrequencyPpm", text,
               "is not a number of ppm above 0 and up to " + FormatPpm(FrequencyDiscipline::kKernelMaxPpm) +
                   "; " + FormatPpm(FrequencyDiscipline::kDefaultMaxPpm) + " kept");
    }
  }
  if (std::string text = read("FrequencyPpm"); !text.empty()) {
    const double bound = out.max_frequency_ppm.value_or(FrequencyDiscipline::kDefaultMaxPpm);
    if (auto v = ParsePpm(text); v && std::fabs(*v) <= bound) {
      out.frequency_ppm = v;
    } else {
      complain("FrequencyPpm", text,
               "is not a number of ppm within MaxFrequencyPpm (" + FormatPpm(bound) + "); ignored");
    }
  }
  if (std::string text = read("SyncSamples"); !text.empty()) {
    if (auto v = ReadRegistryNumber(text, 8); v && *v >= 1) {
      out.sync_samples = static_cast<int>(*v);
    } else {
      complain("SyncSamples", text, "is not a number from 1 to 8; 1 kept");
    }
  }
  if (std::string text = read("SyncFilter"); !text.empty()) {
    if (text == "YES" || text == "NO") {
      out.sync_filter = text == "YES";
    } else {
      complain("SyncFilter", text, "is not YES or NO; YES kept");
    }
  }
  if (std::string text = read("SyncRegression"); !text.empty()) {
    if (text == "YES" || text == "NO") {
      out.sync_regression = text == "YES";
    } else {
      complain("SyncRegression", text, "is not YES or NO; YES kept");
    }
  }
  if (std::string text = read("UpstreamsPerSync"); !text.empty()) {
    if (auto v = ReadRegistryNumber(text, 5); v && *v >= 1) {
      out.upstreams_per_sync = static_cast<int>(*v);
    } else {
      complain("UpstreamsPerSync", text, "is not a number from 1 to 5; 1 kept");
    }
  }
  if (std::string text = read("MaxUnsyncedSeconds"); !text.empty()) {
    if (auto v = ReadRegistryNumber(text, 2000000000)) {
      out.max_unsynced = std::chrono::seconds(*v);
    } else {
      complain("MaxUnsyncedSeconds", text, "is not a number of seconds; 86400 s kept");
    }
  }
  if (std::string text = read("MaxStepSeconds"); !text.empty()) {
    if (auto v = ReadRegistryNumber(text, 2000000000)) {
      out.max_step = std::chrono::seconds(*v);
    } else {
      complain("MaxStepSeconds", text, "is not a number of seconds; 1000 s kept");
    }
  }
  if (std::string text = read("SlewThresholdMs"); !text.empty()) {
    if (auto v = ReadRegistryNumber(text, 1000)) {
      out.slew_threshold = std::chrono::milliseconds(*v);
    } else {
      complain("SlewThresholdMs", text, "is not a number of ms from 0 to 1000; 128 ms kept");
    }
  }
  if (std::string text = read("WithoutClockRight"); !text.empty()) {
    if (text == "SERVE" || text == "REFUSE") {
      out.serve_held_time = text == "SERVE";
    } else {
      complain("WithoutClockRight", text, "is not SERVE or REFUSE; SERVE kept");
    }
  }
  if (std::string text = read("NtsPlainFallback"); !text.empty()) {
    if (text == "YES" || text == "NO") {
      out.nts_plain_fallback = text == "YES";
    } else {
      complain("NtsPlainFallback", text, "is not YES or NO; NO kept");
    }
  }
  out.nts_trusted_certificates = read("NtsTrustedCertificates");
  out.ntp_rate_limit = LoadNtpRateLimit(registry, out.diagnostics);
  out.update_host = read("UpdateHost");
  out.auto_update_list = read("AutoUpdateList");
  out.update_trusted_certificates = read("UpdateTrustedCertificates");
  out.allow_networks = read("AllowNetworks");
  out.deny_networks = read("DenyNetworks");
  return out;
}

std::optional<RateLimitParams> LoadNtpRateLimit(const Registry& registry,
                                                std::vector<std::string>& diagnostics) {
  const std::string text = registry.ReadValue(kServerKey, "NtpRateLimit");
  const RateLimitValue v = ParseRateLimit(text);
  if (!v.ok)
    diagnostics.push_back(
        "NtpRateLimit \"" + text +
        "\" is not YES, NO or <interval -4..12>:<burst 1..255>:<leak 1..4>; the NTP rate limit "
        "stays off");
  return v.limit;
}

void WriteFirstStartDefaults(Registry& registry, std::string_view host_name) {
  Registry::Batch batch = registry.BeginBatch();
  registry.CreateKey(kServerKeyPath);
  for (const DefaultValue& value : kServerDefaults) {
    registry.WriteValue(Hive::kLocalMachine, kServerKey, value.name,
                        value.name == "MDLServer" ? host_name : value.text);
  }
}

bool SaveServerSettings(Registry& registry, const SaveInput& input) {
  Registry::Batch batch = registry.BeginBatch();
  bool ok = true;
  auto write = [&](std::string_view name, std::string_view text) {
    if (auto at_load = input.loaded.find(name); at_load != input.loaded.end() && at_load->second == text)
      return;
    ok = registry.WriteValue(Hive::kLocalMachine, kServerKey, name, text) && ok;
  };
  write("Settings", FormatSettingsValue(input.sync));
  write("OpenMinimized", YesNo(input.open_minimized));
  write("EnableLogging", YesNo(input.enable_logging));
  if (input.run_wanted && !input.run_found_at_start) {
    ok = registry.WriteValue(Hive::kLocalMachine, kRunKey, kRunValueName, input.run_value_data) && ok;
  } else if (input.run_found_at_start && !input.run_wanted) {
    int result = registry.DeleteValue(Hive::kLocalMachine, kRunKey, kRunValueName);
    ok = (result == kRegSuccess || result == kRegNotFound) && ok;
  }
  for (Service s : kSaveOrder) write(RowOf(s).registry_value, FormatServiceFields(input.services[Index(s)]));
  if (input.frequency_ppm) write("FrequencyPpm", FormatPpm(*input.frequency_ppm));
  return batch.Commit() && ok;
}

std::map<std::string, std::string, std::less<>> SavedTexts(const Registry& registry) {
  std::map<std::string, std::string, std::less<>> out;
  auto keep = [&](std::string_view name) {
    if (std::string text = registry.ReadValue(kServerKey, name); !text.empty()) out.emplace(name, text);
  };
  for (std::string_view name : {"Settings", "OpenMinimized", "EnableLogging", "FrequencyPpm"}) keep(name);
  for (const ServiceRow& row : kServiceTable) keep(row.registry_value);
  return out;
}

}  // namespace mdl
