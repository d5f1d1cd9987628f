// QOR_MDLSC_SVC: the client without a window, in the foreground (-debug,
// -config, -ro) or under the service manager; -install and -uninstall set up
// the service; -status asks the running instance.
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "apps/command_line.h"
#include "common/files/executable_path.h"
#include "server/hosting/client_host.h"
#include "server/hosting/control_channel.h"
#include "server/hosting/service_setup.h"
#include "server/hosting/unit_file.h"
#include "server/hosting/usage.h"
#include "version.h"

int main(int argc, char** argv) {
  constexpr std::string_view kProgram = "QOR_MDLSC_SVC";
  const std::vector<std::string> args(argv + 1, argv + argc);
  const mdl::CommandLine cl =
      mdl::ParseCommandLine(args, {"-rs", "-ro", "-install", "-uninstall", "-debug", "-config", "-status"});
  if (!cl.error.empty()) {
    std::cerr << kProgram << ": " << cl.error << "\n" << mdl::service::ClientServiceUsage();
    return 2;
  }
  if (cl.help) {
    std::cout << mdl::service::ClientServiceUsage();
    return 0;
  }
  if (cl.version) {
    std::cout << kProgram << " " << mdl::kVersion << "\n";
    return 0;
  }
  const auto& id = mdl::service::kClientService;
  const std::filesystem::path home =
      cl.home.empty() ? mdl::service::DefaultHome(id, mdl::files::ExecutableFolder()) : cl.home;
  if (cl.first_switch == "-status") return mdl::service::RunStatusCommand(id.program, id.name, home, cl.json);
  if (cl.first_switch == "-install" || cl.first_switch == "-uninstall")
    return mdl::service::RunSetupSwitch(id, cl.first_switch, home);
  mdl::service::ClientHostOptions options;
  options.home = home;
  options.registry = cl.registry;
  options.virtual_clock = cl.virtual_clock;
  options.run_once = cl.first_switch == "-ro";
  options.foreground_reports = cl.first_switch == "-debug" || cl.first_switch == "-config";
  return mdl::service::RunClientHost(options);
}
