// -install, -uninstall, -pause, -continue.
#include "server/hosting/service_setup.h"

#include <csignal>
#include <cstdio>
#include <string>

#include "server/hosting/event_log.h"
#include "server/hosting/instance_lock.h"
#include "server/hosting/service_install.h"

namespace mdl::service {

namespace fs = std::filesystem;

bool IsSetupSwitch(std::string_view s) {
  return s == "-install" || s == "-uninstall" || s == "-pause" || s == "-continue";
}

int RunSetupSwitch(const ServiceIdentity& id, std::string_view first_switch, const fs::path& home) {
  EventLog log(std::string(id.program), EventLogOptions{StderrIsJournal() ? nullptr : stderr, false, true});
  std::error_code ec;
  const fs::path absolute_home = fs::absolute(home, ec).lexically_normal();

  if (first_switch == "-pause" || first_switch == "-continue") {
    const bool pause = first_switch == "-pause";
    const SignalResult r = SignalInstance(absolute_home / id.lock_name, pause ? SIGUSR1 : SIGUSR2);
    if (r.outcome == SignalResult::Outcome::kSent) {
      log.Notice(std::string(pause ? "pause" : "continue") + " sent to the " + std::string(id.product) +
                 " running in " + absolute_home.string() + " (" + r.detail + ")");
      return 0;
    }
    log.Error(std::string(first_switch) + ": " + r.detail + " (" + absolute_home.string() + ")");
    return 1;
  }

  const SystemdTarget target = SystemdTarget::FromEnvironment();
  if (first_switch == "-install") {
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
      log.Entry(EventLevel::kError,
                InstallFailedText(id, "this program's own path cannot be read: " + ec.message() + "."));
      return 1;
    }
    const SetupResult r = InstallService(id, program, absolute_home, target);
    if (!r.ok) {
      log.Entry(EventLevel::kError, InstallFailedText(id, r.detail));
      return 1;
    }
    log.Entry(EventLevel::kNotice, InstalledText(id));
    log.Info(r.detail);
    return 0;
  }
  const SetupResult r = UninstallService(id, target);
  if (!r.ok) {
    log.Entry(EventLevel::kError, UninstallFailedText(id));
    log.Error(r.detail);
    return 1;
  }
  log.Entry(EventLevel::kNotice, UninstalledText(id));
  log.Info(r.detail);
  return 0;
}

}  // namespace mdl::service
