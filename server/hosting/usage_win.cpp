// Usage texts under the Windows service control manager.
#include "server/hosting/usage.h"

namespace mdl::service {

std::string_view ServerServiceUsage() {
  return "Usage: QOR_MDL_Server_SVC [-debug|-config|-rs|-install|-uninstall|-pause|-continue] [--home DIR]\n"
         "                          [--registry FILE] [--virtual-clock] [--help] [--version]\n"
         "  -debug, -config   run in the foreground, diagnostics on the console\n"
         "  -install          install the service MDLServer (automatic start, running this program\n"
         "                    with --home DIR), then end; net start MDLServer starts it now;\n"
         "                    -uninstall stops and removes it\n"
         "  -pause, -continue pause or continue the service MDLServer\n"
         "  --home DIR        program folder: QOR_MDLS4.MDL, Logs\\ (default: the program's folder)\n"
         "  --registry FILE   settings in FILE (default: HKEY_LOCAL_MACHINE\\Software\\Meridel Server)\n"
         "  --virtual-clock   never set the machine's clock; corrections stay inside the process\n"
         "Ctrl+C, Ctrl+Break or closing the console stop it (settings saved); events go to the\n"
         "Application event log.\n";
}

std::string_view ClientServiceUsage() {
  return "Usage: QOR_MDLSC_SVC [-debug | -config | -ro | -install | -uninstall] [options]\n"
         "Keeps this machine's clock in step with a Meridel server (TCP port 3777).\n"
         "  -debug, -config    run in the foreground and print each report\n"
         "  -ro                one exchange, then exit (0 only when the clock was set)\n"
         "  -install           install the service MDLClient (automatic start, running this\n"
         "                     program with --home DIR), then end; net start MDLClient starts it\n"
         "  -uninstall         stop and remove that service, then end\n"
         "  --home DIR         program folder (default: the folder of this program)\n"
         "  --registry FILE    settings in FILE (default: HKEY_LOCAL_MACHINE\\Software\\Meridel)\n"
         "  --virtual-clock    never set the system clock; keep corrections in the process\n"
         "  --help, --version\n"
         "The server is the first field of the MDLClient setting: host, host:port or [v6]:port.\n";
}

}  // namespace mdl::service
