// Usage texts under the Windows service control manager.
#include "server/hosting/usage.h"

namespace mdl::service {

std::string_view ServerServiceUsage() {
  return "Usage: QOR_MDL_Server_SVC [-debug|-config|-rs|-install|-uninstall|-pause|-continue] [--home DIR]\n"
         "                          [--registry FILE] [--virtual-clock] [--help] [--version]\n"
         "       QOR_MDL_Server_SVC -status [--json] [--home DIR]\n"
         "The Meridel time server without a window: it takes the time from an upstream NTP server,\n"
         "sets this machine's clock and serves it over TCP and UDP on Daytime 13, Time 37, NTP 123,\n"
         "UnixTime 519 and the Meridel protocol 3777.\n"
         "  -debug, -config   run in the foreground, diagnostics on the console\n"
         "  -install          install the service MDLServer (automatic start, running this program\n"
         "                    with --home DIR), then end; net start MDLServer starts it now;\n"
         "                    -uninstall stops and removes it\n"
         "  -pause, -continue pause or continue the service MDLServer\n"
         "  -status           print how the server running in DIR stands (synchronisation, upstream,\n"
         "                    requests and replies per service), asked through a named pipe only its\n"
         "                    user, SYSTEM and Administrators may open; exit 3 when none runs there.\n"
         "                    --json: the same as one JSON object\n"
         "  --home DIR        program folder: QOR_MDLS4.MDL, Logs\\ (default: the program's folder)\n"
         "  --registry FILE   settings in FILE (default: HKEY_LOCAL_MACHINE\\Software\\Meridel Server)\n"
         "  --virtual-clock   never set the machine's clock; serve the upstream's time held inside the\n"
         "                    process (how to serve without the right to set the clock)\n"
         "Ctrl+C, Ctrl+Break or closing the console stop it (settings saved); events go to the\n"
         "Application event log.\n"
         "Settings: the registry key HKEY_LOCAL_MACHINE\\Software\\Meridel Server.\n"
         "More: the README's sections \"Settings\" and \"Windows\".\n";
}

std::string_view ClientServiceUsage() {
  return "Usage: QOR_MDLSC_SVC [-debug | -config | -ro | -install | -uninstall] [options]\n"
         "       QOR_MDLSC_SVC -status [--json] [--home DIR]\n"
         "The Meridel time client: keeps this machine's clock in step with a Meridel server, asking it\n"
         "over TCP port 3777 (the Meridel protocol); it serves no port itself.\n"
         "  -debug, -config    run in the foreground and print each report\n"
         "  -ro                exchange until the first reply (retried 10 s apart, RunOnceAttempts times),\n"
         "                     then exit (0 only when the clock was set)\n"
         "  -install           install the service MDLClient (automatic start, running this\n"
         "                     program with --home DIR), then end; net start MDLClient starts it\n"
         "  -uninstall         stop and remove that service, then end\n"
         "  -status            print how the client running in DIR stands (server, last exchange,\n"
         "                     clock set to), asked through a named pipe; exit 3 when none runs\n"
         "                     there. --json: the same as one JSON object\n"
         "  --home DIR         program folder (default: the folder of this program)\n"
         "  --registry FILE    settings in FILE (default: HKEY_LOCAL_MACHINE\\Software\\Meridel)\n"
         "  --virtual-clock    never set the system clock; keep corrections in the process\n"
         "  --help, --version\n"
         "The server is the first field of the MDLClient setting: host, host:port or [v6]:port.\n"
         "Settings: the registry key HKEY_LOCAL_MACHINE\\Software\\Meridel.\n"
         "More: the README's sections \"Settings\" and \"Windows\".\n";
}

}  // namespace mdl::service
