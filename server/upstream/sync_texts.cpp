// The texts of a synchronisation.
#include "server/upstream/sync_texts.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "server/upstream/sync_status.h"

namespace mdl {
namespace {

constexpr int kSignificantDigits = 15;
constexpr int kFixedMaxExponent = 20;   // below 1e21
constexpr int kFixedMinExponent = -15;  // from 1e-15

}  // namespace

std::string FormatReplyDifference(double ms) {
  if (std::isnan(ms)) return "NaN";
  if (std::isinf(ms)) return ms < 0 ? "-Infinity" : "Infinity";
  if (ms == 0.0) return "0";  // also -0

  // "d.dddddddddddddde+XX": the 15 significant digits, rounded, and the exponent.
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*e", kSignificantDigits - 1, std::fabs(ms));
  const std::string text(buf);
  const std::size_t e = text.find('e');
  std::string digits = text.substr(0, 1) + text.substr(2, e - 2);
  const int exponent = std::atoi(text.c_str() + e + 1);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out = ms < 0 ? "-" : "";
  if (exponent > kFixedMaxExponent || exponent < kFixedMinExponent) {
    out += digits.substr(0, 1);
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent < 0 ? "E-" : "E+";
    out += std::to_string(std::abs(exponent));
    return out;
  }
  if (exponent < 0) {
    out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    return out;
  }
  const auto int_len = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= int_len) {
    out += digits + std::string(int_len - digits.size(), '0');
  } else {
    out += digits.substr(0, int_len) + "." + digits.substr(int_len);
  }
  return out;
}

std::string AdjustedMessage(double reply_difference_ms) {
  return "Adjusted by: " + FormatReplyDifference(reply_difference_ms) + " ms.  MDL Server is Synchronized.";
}

std::string SyncFailedMessage(std::string_view reason) {
  return "Clock could not be set: " + std::string(reason) + ".  MDL Server is not Synchronized.";
}

std::string HeldTimeMessage(std::string_view reason) {
  return "Clock could not be set: " + std::string(reason) + "; the time is served without setting it.";
}

std::string UnsyncedMessage(int64_t limit_seconds) {
  return "No synchronisation for more than " + std::to_string(limit_seconds) +
         " s: NTP replies say unsynchronised.  MDL Server is not Synchronized.";
}

std::string CutTooltip(std::string text) {
  if (text.size() <= kTooltipMaxLength) return text;
  std::size_t cut = kTooltipMaxLength;
  // Step back over continuation bytes (10xxxxxx) to a character's first byte.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text;
}

std::string CheckingTooltip(std::string_view display_text) {
  return CutTooltip(" Checking Time Server: " + std::string(display_text) + " ");
}

std::string SyncedTooltip(std::string_view sync_message) {
  std::string tip = " ";
  tip += sync_message;
  tip += ' ';
  return CutTooltip(std::move(tip));
}

std::string ServersTooltip(UtcTime upstream_whole_second, uint32_t display_ms,
                           std::string_view sync_message) {
  using std::chrono::days;
  const auto day = std::chrono::floor<days>(upstream_whole_second);
  const std::chrono::year_month_day ymd(day);
  const std::chrono::hh_mm_ss hms(std::chrono::floor<std::chrono::seconds>(upstream_whole_second - day));
  char date[16];
  std::snprintf(date, sizeof date, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
  std::string tip = " ";
  tip += date;
  tip += ' ';
  tip += std::to_string(hms.hours().count());
  tip += ':';
  tip += std::to_string(hms.minutes().count());
  tip += ':';
  tip += std::to_string(hms.seconds().count());
  tip += '.';
  tip += std::to_string(display_ms);
  tip += " | ";
  tip += sync_message;
  return tip;
}

std::string RefIdText(const std::array<uint8_t, 4>& id, int stratum) {
  if (stratum <= 1) {
    std::string text;
    for (uint8_t c : id) {
      if (c == 0) break;
      if (c < 0x20 || c > 0x7E)
        return std::to_string(id[0]) + "." + std::to_string(id[1]) + "." + std::to_string(id[2]) + "." +
               std::to_string(id[3]);
      text.push_back(static_cast<char>(c));
    }
    return text;
  }
  return std::to_string(id[0]) + "." + std::to_string(id[1]) + "." + std::to_string(id[2]) + "." +
         std::to_string(id[3]);
}

}  // namespace mdl
