// ClientStatusText and ClientStatusJson.
#include "client/client_status.h"

#include <cstdio>
#include <string_view>

#include "common/time/report_text.h"

namespace mdl {
namespace {

void Line(std::string& out, std::string_view label, std::string_view value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%-16.*s: ", static_cast<int>(label.size()), label.data());
  out += buf;
  out += value;
  out += '\n';
}

// The report box's lines, CR LF or LF, each indented under the label.
std::string IndentedReport(std::string_view report) {
  std::string out;
  std::string line;
  auto flush = [&] {
    if (!line.empty()) out += "  " + line + "\n";
    line.clear();
  };
  for (char c : report) {
    if (c == '\r') continue;
    if (c == '\n') {
      flush();
    } else {
      line += c;
    }
  }
  flush();
  return out;
}

}  // namespace

std::string ClientStatusText(const ClientSnapshot& s) {
  std::string out;
  const HostPort hp = SplitHostPort(s.settings.host);
  Line(out, "Server",
       hp.ok ? s.settings.host + " (port " + std::to_string(hp.port) + ")"
             : s.settings.host + " (not a valid host)");
  Line(out, "Interval",
       std::to_string(s.interval_seconds) + " s (" + s.settings.number + " " + s.settings.unit + ")");
  Line(out, "Loaded", s.loaded ? "yes" : "no (starting)");
  Line(out, "Exchange running", s.busy ? "yes" : "no");
  Line(out, "Last exchange", s.last_outcome ? std::string(OutcomeName(*s.last_outcome)) : "none yet");
  Line(out, "Clock set to", s.clock_set_to ? IsoUtcText(*s.clock_set_to) : "-");
  Line(out, "Last error", s.last_error.empty() ? "-" : s.last_error);
  if (!s.report.empty()) out += "Last report:\n" + IndentedReport(s.report);
  return out;
}

std::string ClientStatusJson(const ClientSnapshot& s) {
  const HostPort hp = SplitHostPort(s.settings.host);
  JsonWriter j;
  j.OpenObject();
  j.String("server", s.settings.host);
  if (hp.ok) {
    j.String("server_host", hp.host).Uint("server_port", hp.port);
  } else {
    j.Null("server_host").Null("server_port");
  }
  j.Int("interval_s", s.interval_seconds);
  j.Bool("loaded", s.loaded);
  j.Bool("busy", s.busy);
  if (s.last_outcome) {
    j.String("last_outcome", OutcomeName(*s.last_outcome));
    j.Bool("last_synchronised", *s.last_outcome == ExchangeResult::Outcome::kSynchronised);
  } else {
    j.Null("last_outcome").Null("last_synchronised");
  }
  j.Time("clock_set_to", s.clock_set_to);
  if (s.last_error.empty()) {
    j.Null("last_error");
  } else {
    j.String("last_error", s.last_error);
  }
  j.String("report", s.report);
  j.CloseObject();
  return j.text() + "\n";
}

}  // namespace mdl
