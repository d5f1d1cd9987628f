// The client's stored settings (`MDLClient`), its interval (`SecChange`) and
// its one-second schedule; pure, no registry or clock access.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mdl {

inline constexpr std::string_view kClientKey = "Software\\Meridel";
inline constexpr std::string_view kClientKeyPath = "HKEY_LOCAL_MACHINE\\Software\\Meridel";
inline constexpr std::string_view kClientValueName = "MDLClient";
// Values of our own beside it: the reply checks' limits.
inline constexpr std::string_view kMaxRoundTripValueName = "MaxRoundTripMs";
inline constexpr std::string_view kPlausibleYearsValueName = "PlausibleYears";
// How many exchanges `-ro` tries without a reply (ClientApp).
inline constexpr std::string_view kRunOnceAttemptsValueName = "RunOnceAttempts";
// Written on first start: the window's design values.
inline constexpr std::string_view kClientDefaultValue = "hostname:5:Minute/s:YES";
inline constexpr int32_t kDefaultIntervalSeconds = 300;
// Start with the desktop: the Run value, present while it is wanted.
inline constexpr std::string_view kClientRunKey = "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUN";
inline constexpr std::string_view kClientRunValueName = "Meridel Server Client";
inline constexpr std::string_view kClientProgramName = "QOR_MDLSC";

struct ClientSettings {
  std::string host = "hostname";  // host, "host:port" or "[v6]:port"
  std::string number = "5";       // interval number as typed
  std::string unit = "Minute/s";  // "Hour/s", "Minute/s", "Second/s", "Day/s"
  bool run_minimized = true;
};

// Splits `MDLClient`. The last three fields are number, unit and the
// "YES"/"NO" flag; everything before them is the host, so a host may carry
// ":port". With fewer than four fields, field 1 is the host and the others
// are taken in their order (the missing ones keep their defaults, the box
// unticked). An empty value yields nullopt.
std::optional<ClientSettings> ParseClientValue(std::string_view value);
std::string FormatClientValue(const ClientSettings& settings);
// The Run value's data: the program folder and the desktop client's name.
std::string ClientRunValueData(std::string_view program_folder);

struct SecChangeResult {
  std::optional<int32_t> seconds;  // nullopt: not applied
  std::string message;             // why it was not applied
};

// `SecChange`: the number times the unit chosen by its first three letters
// ("Sec" 1, "Min" 60, "Hou" 3600, "Day" 86400, otherwise seconds). Not
// applied when the number is not a whole number, is below 1, or the product
// exceeds 2^31 - 1 seconds.
SecChangeResult SecChange(std::string_view number, std::string_view unit);

// `SVR_TMR`'s counter: one Tick() per second; an exchange is due when the
// countdown reaches the interval.
class ClientSchedule {
 public:
  explicit ClientSchedule(int32_t interval = kDefaultIntervalSeconds) : interval_(interval) {}
  int32_t interval() const { return interval_; }
  void set_interval(int32_t seconds) { interval_ = seconds; }
  int32_t countdown() const { return countdown_; }
  void set_countdown(int32_t ticks) { countdown_ = ticks; }
  // Counts one second; true (and the countdown restarts) when an exchange is due.
  bool Tick();
  // A failed exchange is retried 10 ticks later.
  void OnFailure() { countdown_ = interval_ - 10; }

 private:
  int32_t interval_;
  int32_t countdown_ = 0;
};

}  // namespace mdl
