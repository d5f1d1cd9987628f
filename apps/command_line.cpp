// Parsing of the programs' command lines.
#include "apps/command_line.h"

#include <algorithm>

namespace mdl {

CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::vector<std::string>& allowed) {
  CommandLine cl;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* name) -> std::optional<std::string> {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        cl.error = std::string(name) + " needs a value";
        return std::nullopt;
      }
      return args[++i];
    };
    if (a == "--home") {
      if (auto v = value("--home")) cl.home = *v;
    } else if (a.rfind("--home=", 0) == 0) {
      cl.home = a.substr(7);
    } else if (a == "--registry") {
      if (auto v = value("--registry")) cl.registry = *v;
    } else if (a.rfind("--registry=", 0) == 0) {
      cl.registry = a.substr(11);
    } else if (a == "--virtual-clock") {
      cl.virtual_clock = true;
    } else if (a == "--bench-request-log-off") {
      cl.bench_request_log_off = true;
    } else if (a == "--json") {
      cl.json = true;
    } else if (a == "--help" || a == "-h") {
      cl.help = true;
    } else if (a == "--version") {
      cl.version = true;
    } else if (i == 0 && std::find(allowed.begin(), allowed.end(), a) != allowed.end()) {
      // Switches count only as the first argument, exactly as written.
      cl.first_switch = a;
    } else if (std::find(allowed.begin(), allowed.end(), a) != allowed.end()) {
      // Ignored there, it would run the program the operator meant to switch.
      cl.error = a + " must be the first argument";
    } else if (a.rfind("--", 0) == 0) {
      cl.error = "unknown option " + a;
    } else if (i == 0 && a.size() > 1 && a[0] == '-') {
      // A mistyped switch ("-unistall") would otherwise run the program, or
      // meet the running instance's lock and end as if it had worked.
      cl.error = "unknown switch " + a;
    }
    // Any other word is ignored, as the original command line ignores it.
    if (!cl.error.empty()) break;
  }
  return cl;
}

}  // namespace mdl
