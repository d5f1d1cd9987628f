// QOR_MDL_Server_SVC: the server without a window, in the foreground
// (-debug, -config) or under the service manager; -install and -uninstall
// set up the service, -pause and -continue act on the running instance,
// -status asks it.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "apps/command_line.h"
#include "common/files/executable_path.h"
#include "server/hosting/control_channel.h"
#include "server/hosting/server_host.h"
#include "server/hosting/service_setup.h"
#include "server/hosting/unit_file.h"
#include "server/hosting/usage.h"
#include "version.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  mdl::CommandLine cl = mdl::ParseCommandLine(
      args, {"-rs", "-install", "-uninstall", "-debug", "-config", "-pause", "-continue", "-status"});
  if (!cl.error.empty()) {
    const std::string_view usage = mdl::service::ServerServiceUsage();
    std::fprintf(stderr, "QOR_MDL_Server_SVC: %s\n%.*s", cl.error.c_str(), static_cast<int>(usage.size()),
                 usage.data());
    return 2;
  }
  if (cl.help) {
    std::fwrite(mdl::service::ServerServiceUsage().data(), 1, mdl::service::ServerServiceUsage().size(),
                stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("QOR_MDL_Server_SVC %.*s\n", static_cast<int>(mdl::kVersion.size()), mdl::kVersion.data());
    return 0;
  }
  const auto& id = mdl::service::kServerService;
  const std::filesystem::path home =
      cl.home.empty() ? mdl::service::DefaultHome(id, mdl::files::ExecutableFolder()) : cl.home;
  if (cl.first_switch == "-status") return mdl::service::RunStatusCommand(id.program, id.name, home, cl.json);
  if (mdl::service::IsSetupSwitch(cl.first_switch))
    return mdl::service::RunSetupSwitch(id, cl.first_switch, home);
  mdl::service::ServerHostOptions options;
  options.home = home;
  options.registry = cl.registry;
  options.virtual_clock = cl.virtual_clock;
  options.request_log = !cl.bench_request_log_off;
  options.foreground = true;  // under systemd stderr is the journal, which syslog reaches already
  options.debug = cl.first_switch == "-debug" || cl.first_switch == "-config";
  return mdl::service::RunServerHost(options);
}
