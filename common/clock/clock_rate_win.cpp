// The Windows clock's rate through Get/SetSystemTimeAdjustment(Precise).
#include "common/clock/clock_rate_win.h"

#include <windows.h>

#include <cmath>
#include <limits>
#include <string>

namespace mdl::win_clock {
namespace {

class RateErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "clock rate"; }
  std::string message(int code) const override {
    switch (static_cast<RateError>(code)) {
      case RateError::kTimeServiceRuns:
        return "the Windows Time service (W32Time) runs and corrects the clock rate itself; "
               "stop it (net stop w32time) to let this server do so";
      case RateError::kPrivilegeNotHeld:
        return "this account does not hold the right to change the system time "
               "(SeSystemtimePrivilege); run the service as LocalSystem or an administrator";
      case RateError::kOutOfRange:
        return "the rate is beyond what the clock takes (at most 500 ppm either way)";
    }
    return "clock rate error " + std::to_string(code);
  }
  std::error_condition default_error_condition(int code) const noexcept override {
    switch (static_cast<RateError>(code)) {
      case RateError::kTimeServiceRuns:
        return std::errc::device_or_resource_busy;
      case RateError::kPrivilegeNotHeld:
        return std::errc::operation_not_permitted;
      case RateError::kOutOfRange:
        return std::errc::invalid_argument;
    }
    return std::error_condition(code, *this);
  }
};

bool IsPrivilegeError(const std::error_code& ec) { return ec == MakeError(RateError::kPrivilegeNotHeld); }

std::error_code SystemError(DWORD error) {
  if (error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_ACCESS_DENIED) {
    return MakeError(RateError::kPrivilegeNotHeld);
  }
  return std::error_code(static_cast<int>(error), std::system_category());
}

using GetPrecise = BOOL(WINAPI*)(PDWORD64, PDWORD64, PBOOL);
using SetPrecise = BOOL(WINAPI*)(DWORD64, BOOL);

// Through void (*)() so that the cast from FARPROC draws no warning.
template <typename F>
F Lookup(const char* name) {
  for (const wchar_t* module : {L"kernel32.dll", L"kernelbase.dll"}) {
    if (HMODULE h = GetModuleHandleW(module)) {
      if (FARPROC p = GetProcAddress(h, name)) return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
    }
  }
  return nullptr;
}

bool W32TimeRuns() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  bool runs = false;
  if (SC_HANDLE service = OpenServiceW(manager, L"W32Time", SERVICE_QUERY_STATUS)) {
    SERVICE_STATUS status{};
    runs = QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return runs;
}

std::error_code EnablePrivilegeNow() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return SystemError(GetLastError());
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  std::error_code ec;
  if (!LookupPrivilegeValueW(nullptr, L"SeSystemtimePrivilege", &privileges.Privileges[0].Luid)) {
    ec = SystemError(GetLastError());
  } else if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr)) {
    ec = SystemError(GetLastError());
  } else if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
    // The call succeeds all the same when the token has no such privilege.
    ec = MakeError(RateError::kPrivilegeNotHeld);
  }
  CloseHandle(token);
  return ec;
}

RateCalls MakeSystemCalls() {
  RateCalls calls;
  const auto get_precise = Lookup<GetPrecise>("GetSystemTimeAdjustmentPrecise");
  const auto set_precise = Lookup<SetPrecise>("SetSystemTimeAdjustmentPrecise");
  if (get_precise && set_precise) {
    calls.get_precise = [get_precise](RateReading& r) {
      DWORD64 adjustment = 0;
      DWORD64 increment = 0;
      BOOL disabled = TRUE;
      if (!get_precise(&adjustment, &increment, &disabled)) return SystemError(GetLastError());
      r = RateReading{adjustment, increment, disabled != FALSE};
      return std::error_code{};
    };
    calls.set_precise = [set_precise](uint64_t adjustment, bool disabled) {
      if (!set_precise(adjustment, disabled ? TRUE : FALSE)) return SystemError(GetLastError());
      return std::error_code{};
    };
  }
  calls.get = [](RateReading& r) {
    DWORD adjustment = 0;
    DWORD increment = 0;
    BOOL disabled = TRUE;
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled)) return SystemError(GetLastError());
    r = RateReading{adjustment, increment, disabled != FALSE};
    return std::error_code{};
  };
  calls.set = [](uint32_t adjustment, bool disabled) {
    if (!SetSystemTimeAdjustment(adjustment, disabled ? TRUE : FALSE)) return SystemError(GetLastError());
    return std::error_code{};
  };
  calls.time_service_runs = W32TimeRuns;
  calls.enable_privilege = EnableTimePrivilege;
  return calls;
}

}  // namespace

const std::error_category& RateCategory() {
  static const RateErrorCategory category;
  return category;
}

std::error_code MakeError(RateError e) { return std::error_code(static_cast<int>(e), RateCategory()); }

std::optional<uint64_t> AdjustmentFor(uint64_t increment, double ppm) {
  if (increment == 0 || !(std::fabs(ppm) <= kMaxRatePpm)) return std::nullopt;
  const double figure = std::round(static_cast<double>(increment) * (1.0 + ppm / 1e6));
  if (!(figure >= 1.0 && figure < 18446744073709551616.0)) return std::nullopt;  // below 2^64
  return static_cast<uint64_t>(figure);
}

std::optional<double> PpmOf(const RateReading& reading) {
  if (reading.disabled || reading.increment == 0) return std::nullopt;
  return (static_cast<double>(reading.adjustment) / static_cast<double>(reading.increment) - 1.0) * 1e6;
}

std::error_code SetRate(const RateCalls& calls, double ppm) {
  if (!(std::fabs(ppm) <= kMaxRatePpm)) return MakeError(RateError::kOutOfRange);
  if (calls.time_service_runs && calls.time_service_runs()) return MakeError(RateError::kTimeServiceRuns);
  const std::error_code privilege = calls.enable_privilege ? calls.enable_privilege() : std::error_code{};
  // A refusal for want of the right is told by why the right is missing.
  const auto told = [&privilege](std::error_code ec) {
    return IsPrivilegeError(ec) && privilege ? privilege : ec;
  };
  const bool precise = calls.get_precise && calls.set_precise;
  if (ppm == 0) return told(precise ? calls.set_precise(0, true) : calls.set(0, true));
  RateReading reading;
  if (const std::error_code ec = precise ? calls.get_precise(reading) : calls.get(reading)) return told(ec);
  const std::optional<uint64_t> figure = AdjustmentFor(reading.increment, ppm);
  if (!figure) return MakeError(RateError::kOutOfRange);
  if (precise) return told(calls.set_precise(*figure, false));
  if (*figure > std::numeric_limits<uint32_t>::max()) return MakeError(RateError::kOutOfRange);
  return told(calls.set(static_cast<uint32_t>(*figure), false));
}

std::optional<double> ReadRate(const RateCalls& calls) {
  RateReading reading;
  const bool precise = calls.get_precise && calls.set_precise;
  if (precise ? calls.get_precise(reading) : calls.get(reading)) return std::nullopt;
  return PpmOf(reading);
}

const RateCalls& SystemRateCalls() {
  static const RateCalls calls = MakeSystemCalls();
  return calls;
}

std::error_code EnableTimePrivilege() {
  static const std::error_code outcome = EnablePrivilegeNow();
  return outcome;
}

}  // namespace mdl::win_clock
