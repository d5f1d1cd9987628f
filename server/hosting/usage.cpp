// Usage texts under systemd.
#include "server/hosting/usage.h"

namespace mdl::service {

std::string_view ServerServiceUsage() {
  return "Usage: QOR_MDL_Server_SVC [-debug|-config|-rs|-install|-uninstall|-pause|-continue] [--home DIR]\n"
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
}

std::string_view ClientServiceUsage() {
  return "Usage: QOR_MDLSC_SVC [-debug | -config | -ro | -install | -uninstall] [options]\n"
         "Keeps this machine's clock in step with a Meridel server (TCP port 3777).\n"
         "  -debug, -config    run in the foreground and print each report\n"
         "  -ro                one exchange, then exit (0 only when the clock was set)\n"
         "  -install           install and enable the systemd service MDLClient (running this\n"
         "                     program with --home DIR), then end\n"
         "  -uninstall         stop, disable and remove that service, then end\n"
         "  --home DIR         program folder (default: the folder of this program;\n"
         "                     /var/lib/meridel/client for the package's program)\n"
         "  --registry FILE    settings store (default: DIR/registry.reg)\n"
         "  --virtual-clock    never set the system clock; keep corrections in the process\n"
         "  --help, --version\n"
         "The server is the first field of the MDLClient setting: host, host:port or [v6]:port.\n"
         "MDL_SYSTEMD_ROOT=DIR makes -install and -uninstall work on the systemd tree below DIR.\n";
}

}  // namespace mdl::service
