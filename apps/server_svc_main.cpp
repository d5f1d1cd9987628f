// QOR_MDL_Server_SVC: the server without a window, in the foreground
// (-debug, -config) or under systemd.
#include <cstdio>
#include <string>
#include <vector>

#include "apps/command_line.h"
#include "server/service/server_host.h"
#include "version.h"

namespace {

constexpr const char* kUsage =
    "Usage: QOR_MDL_Server_SVC [-debug|-config|-rs|-install|-uninstall] [--home DIR] [--registry FILE]\n"
    "                          [--virtual-clock] [--help] [--version]\n"
    "  -debug, -config   run in the foreground, diagnostics on stderr\n"
    "  --home DIR        program folder: QOR_MDLS4.MDL, Logs/, registry.reg (default: the program's folder)\n"
    "  --registry FILE   settings store (default: DIR/registry.reg)\n"
    "  --virtual-clock   never set the machine's clock; corrections stay inside the process\n"
    "Signals: SIGTERM/SIGINT stop (settings saved), SIGUSR1 pauses, SIGUSR2 continues.\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  mdl::CommandLine cl = mdl::ParseCommandLine(args, {"-rs", "-install", "-uninstall", "-debug", "-config"});
  if (!cl.error.empty()) {
    std::fprintf(stderr, "QOR_MDL_Server_SVC: %s\n%s", cl.error.c_str(), kUsage);
    return 2;
  }
  if (cl.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("QOR_MDL_Server_SVC %.*s\n", static_cast<int>(mdl::kVersion.size()), mdl::kVersion.data());
    return 0;
  }
  if (cl.first_switch == "-install" || cl.first_switch == "-uninstall") {
    std::fprintf(stderr,
                 "QOR_MDL_Server_SVC: %s: installing as a systemd service is not available in this version\n",
                 cl.first_switch.c_str());
    return 1;
  }
  mdl::service::ServerHostOptions options;
  options.home = cl.home.empty() ? mdl::ExecutableFolder() : cl.home;
  options.registry = cl.registry;
  options.virtual_clock = cl.virtual_clock;
  options.foreground = true;  // -debug, -config and the plain start all run in the foreground under systemd
  return mdl::service::RunServerHost(options);
}
