// QOR_MDL_Server_SVC: the server without a window, in the foreground
// (-debug, -config) or under systemd; -install and -uninstall set up the
// systemd service, -pause and -continue act on the running instance.
#include <cstdio>
#include <string>
#include <vector>

#include "apps/command_line.h"
#include "common/files/executable_path.h"
#include "server/service/server_host.h"
#include "server/service/service_setup.h"
#include "server/service/unit_file.h"
#include "version.h"

namespace {

constexpr const char* kUsage =
    "Usage: QOR_MDL_Server_SVC [-debug|-config|-rs|-install|-uninstall|-pause|-continue] [--home DIR]\n"
    "                          [--registry FILE] [--virtual-clock] [--help] [--version]\n"
    "  -debug, -config   run in the foreground, diagnostics on stderr\n"
    "  -install          install and enable the systemd service MDLServer (running this program\n"
    "                    with --home DIR), then end; -uninstall stops, disables and removes it\n"
    "  -pause, -continue pause or continue the server running in DIR (as SIGUSR1, SIGUSR2)\n"
    "  --home DIR        program folder: QOR_MDLS4.MDL, Logs/, registry.reg (default: the program's\n"
    "                    folder; /var/lib/meridel/server for the package's program)\n"
    "  --registry FILE   settings store (default: DIR/registry.reg)\n"
    "  --virtual-clock   never set the machine's clock; corrections stay inside the process\n"
    "Signals: SIGTERM/SIGINT stop (settings saved), SIGUSR1 pauses, SIGUSR2 continues.\n"
    "MDL_SYSTEMD_ROOT=DIR makes -install and -uninstall work on the systemd tree below DIR.\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  mdl::CommandLine cl = mdl::ParseCommandLine(
      args, {"-rs", "-install", "-uninstall", "-debug", "-config", "-pause", "-continue"});
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
  const auto& id = mdl::service::kServerService;
  const std::filesystem::path home = cl.home.empty() ? mdl::service::DefaultHome(id, mdl::files::ExecutableFolder()) : cl.home;
  if (mdl::service::IsSetupSwitch(cl.first_switch)) return mdl::service::RunSetupSwitch(id, cl.first_switch, home);
  mdl::service::ServerHostOptions options;
  options.home = home;
  options.registry = cl.registry;
  options.virtual_clock = cl.virtual_clock;
  options.request_log = !cl.bench_request_log_off;
  options.foreground = true;  // under systemd stderr is the journal, which syslog reaches already
  options.debug = cl.first_switch == "-debug" || cl.first_switch == "-config";
  return mdl::service::RunServerHost(options);
}
