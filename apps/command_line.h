// Command line shared by the programs: the first-argument switch and the long
// options that may stand anywhere.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace mdl {

struct CommandLine {
  std::string first_switch;  // "-rs", "-install", "-uninstall", "-debug", "-config", "-ro", "-status" or ""
  std::filesystem::path home;
  std::filesystem::path registry;
  bool virtual_clock = false;
  // --bench-request-log-off: not in the usage text; for bench/compare only.
  bool bench_request_log_off = false;
  bool json = false;  // --json: -status answers in JSON
  bool help = false;
  bool version = false;
  std::string error;  // bad usage
};

// `allowed` lists the first-argument switches the program knows.
CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::vector<std::string>& allowed);

}  // namespace mdl
