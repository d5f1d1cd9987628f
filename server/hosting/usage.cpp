// Usage texts under systemd.
#include "server/hosting/usage.h"

namespace mdl::service {

std::string_view ServerServiceUsage() {
  return "Usage: QOR_MDL_Server_SVC [-debug|-config|-rs|-install|-uninstall|-pause|-continue] [--home DIR]\n"
         "                          [--registry FILE] [--virtual-clock] [--help] [--version]\n"
         "       QOR_MDL_Server_SVC -status [--json] [--home DIR]\n"
         "The Meridel time server without a window: it takes the time from an upstream NTP server,\n"
         "sets this machine's clock and serves it over TCP and UDP on Daytime 13, Time 37, NTP 123,\n"
         "UnixTime 519 and the Meridel protocol 3777.\n"
         "  -debug, -config   run in the foreground, diagnostics on stderr\n"
         "  -install          install and enable the systemd service MDLServer (running this program\n"
         "                    with --home DIR), then end; -uninstall stops, disables and removes it\n"
         "  -pause, -continue pause or continue the server running in DIR (as SIGUSR1, SIGUSR2)\n"
         "  -status           print how the server running in DIR stands (synchronisation, upstream,\n"
         "                    requests and replies per service), asked through DIR/control.sock;\n"
         "                    exit 3 when none runs there. --json: the same as one JSON object\n"
         "  --home DIR        program folder: QOR_MDLS4.MDL, Logs/, registry.reg (default: the program's\n"
         "                    folder; /var/lib/meridel/server for the package's program)\n"
         "  --registry FILE   settings store (default: DIR/registry.reg)\n"
         "  --virtual-clock   never set the machine's clock; serve the upstream's time held inside the\n"
         "                    process (how to serve without the right to set the clock)\n"
         "Signals: SIGTERM/SIGINT stop (settings saved), SIGUSR1 pauses, SIGUSR2 continues,\n"
         "SIGHUP (systemctl reload MDLServer) applies an edit of the settings.\n"
         "MDL_SYSTEMD_ROOT=DIR makes -install and -uninstall work on the systemd tree below DIR.\n"
         "Settings: DIR/registry.reg, key [HKEY_LOCAL_MACHINE\\Software\\Meridel Server].\n"
         "More: man QOR_MDL_Server_SVC, man 5 meridel-settings.\n";
}

std::string_view ClientServiceUsage() {
  return "Usage: QOR_MDLSC_SVC [-debug | -config | -ro | -install | -uninstall] [options]\n"
         "       QOR_MDLSC_SVC -status [--json] [--home DIR]\n"
         "The Meridel time client: keeps this machine's clock in step with a Meridel server, asking it\n"
         "over TCP port 3777 (the Meridel protocol); it serves no port itself.\n"
         "  -debug, -config    run in the foreground and print each report\n"
         "  -ro                exchange until the first reply (retried 10 s apart, RunOnceAttempts times),\n"
         "                     then exit (0 only when the clock was set)\n"
         "  -install           install and enable the systemd service MDLClient (running this\n"
         "                     program with --home DIR), then end\n"
         "  -uninstall         stop, disable and remove that service, then end\n"
         "  -status            print how the client running in DIR stands (server, last exchange,\n"
         "                     clock set to), asked through DIR/client-control.sock; exit 3 when none runs\n"
         "                     there. --json: the same as one JSON object\n"
         "  --home DIR         program folder (default: the folder of this program;\n"
         "                     /var/lib/meridel/client for the package's program)\n"
         "  --registry FILE    settings store (default: DIR/registry.reg)\n"
         "  --virtual-clock    never set the system clock; keep corrections in the process\n"
         "  --help, --version\n"
         "The server is the first field of the MDLClient setting: host, host:port or [v6]:port.\n"
         "MDL_SYSTEMD_ROOT=DIR makes -install and -uninstall work on the systemd tree below DIR.\n"
         "Settings: DIR/registry.reg, key [HKEY_LOCAL_MACHINE\\Software\\Meridel].\n"
         "More: man QOR_MDLSC_SVC, man 5 meridel-settings.\n";
}

}  // namespace mdl::service
