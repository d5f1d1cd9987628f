// Unit installation through systemctl.
#include "server/hosting/service_install.h"

#include "common/clock/deadline.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#ifndef MDL_SUPPORT_CONTACT
#define MDL_SUPPORT_CONTACT "support@meridel.example"
#endif

extern char** environ;

namespace mdl::service {

namespace fs = std::filesystem;

const char* const kSupportContact = MDL_SUPPORT_CONTACT;

SystemdTarget SystemdTarget::FromEnvironment() {
  SystemdTarget t;
  if (const char* root = std::getenv("MDL_SYSTEMD_ROOT"); root && *root) t.root = root;
  // What sd_booted() checks: the manager's runtime folder exists.
  t.manager_running = t.root.empty() && ::access("/run/systemd/system", F_OK) == 0;
  return t;
}

fs::path SystemdTarget::UnitDir() const {
  return (root.empty() ? fs::path("/") : root) / "etc/systemd/system";
}

fs::path SystemdTarget::UnitPath(const ServiceIdentity& id) const {
  return UnitDir() / (std::string(id.name) + ".service");
}

fs::path SystemdTarget::EnableLink(const ServiceIdentity& id) const {
  return UnitDir() / "multi-user.target.wants" / (std::string(id.name) + ".service");
}

std::string InstalledText(const ServiceIdentity& id) {
  return "[" + std::string(id.product) + " installed successfully!] ";
}

std::string InstallFailedText(const ServiceIdentity& id, const std::string& why) {
  return "[" + std::string(id.product) + " failed to install: " + why +
         " For support, send this message to " + kSupportContact + " (see man " + std::string(id.program) +
         ").] ";
}

std::string UninstalledText(const ServiceIdentity& id) {
  return "[" + std::string(id.product) + " uninstalled successfully!] ";
}

std::string UninstallFailedText(const ServiceIdentity& id) {
  return "[" + std::string(id.product) + " failed to uninstall!] ";
}

CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  CommandResult r;
  if (argv.empty()) return r;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    r.output = std::string("cannot make a pipe: ") + std::strerror(errno);
    return r;
  }
  std::vector<std::string> args = argv;
  std::vector<char*> c_argv;
  for (auto& a : args) c_argv.push_back(a.data());
  c_argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
  // The service signals are blocked in the programs' threads; the child gets a clean mask.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, c_argv[0], &actions, &attr, c_argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(pipe_fds[1]);
  if (rc != 0) {
    ::close(pipe_fds[0]);
    r.output = argv[0] + ": " + std::strerror(rc);
    return r;
  }
  r.started = true;
  const Deadline end(limit);
  char buf[4096];
  bool killed = false;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end.Left());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p{pipe_fds[0], POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    const ssize_t got = ::read(pipe_fds[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // every writer closed
    if (r.output.size() < 64 * 1024) r.output.append(buf, static_cast<size_t>(got));
  }
  ::close(pipe_fds[0]);
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (!killed && WIFEXITED(st)) r.status = WEXITSTATUS(st);
  if (killed) r.output += "\n(" + argv[0] + " did not end in time and was stopped)";
  return r;
}

namespace {

// The last non-empty line of a command's output.
std::string LastLine(const std::string& output) {
  size_t end = output.find_last_not_of("\r\n ");
  if (end == std::string::npos) return "";
  size_t start = output.rfind('\n', end);
  start = start == std::string::npos ? 0 : start + 1;
  return output.substr(start, end - start + 1);
}

// systemctl on the target: the running manager, or the files below its root.
SetupResult Systemctl(const SystemdTarget& target, std::vector<std::string> args) {
  std::vector<std::string> argv = {"systemctl"};
  if (!target.manager_running)
    argv.push_back("--root=" + (target.root.empty() ? std::string("/") : target.root.string()));
  argv.insert(argv.end(), args.begin(), args.end());
  CommandResult r = RunCommand(argv);
  std::string shown;
  for (const auto& a : argv) shown += (shown.empty() ? "" : " ") + a;
  if (!r.started)
    return {false, "systemd's systemctl cannot be run (" + r.output + "); is systemd installed?"};
  if (r.status != 0) {
    const std::string why = LastLine(r.output);
    return {false, "'" + shown + "' failed" + (why.empty() ? "." : ": " + why)};
  }
  return {true, shown};
}

bool IsLink(const fs::path& p) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(p, ec));
}

// Whether `path` is a unit written by -install of `id`.
bool IsOurUnit(const ServiceIdentity& id, const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::string head(256, '\0');
  const ssize_t n = ::read(fd, head.data(), head.size());
  ::close(fd);
  if (n <= 0) return false;
  head.resize(static_cast<size_t>(n));
  return head.rfind(UnitMarker(id) + "\n", 0) == 0;
}

// Creates `home` and gives it the shipped server list when it has none.
SetupResult PrepareHome(const fs::path& program, const fs::path& home) {
  std::error_code ec;
  fs::create_directories(home, ec);
  if (ec || !fs::is_directory(home))
    return {false, "cannot create the program folder " + home.string() + ": " + ec.message() + "."};
  const fs::path shipped = program.parent_path() / "QOR_MDLS4.MDL";
  const fs::path list = home / "QOR_MDLS4.MDL";
  if (!fs::exists(fs::symlink_status(list, ec)) && fs::is_regular_file(shipped, ec) &&
      !fs::equivalent(program.parent_path(), home, ec)) {
    fs::copy_file(shipped, list, fs::copy_options::skip_existing, ec);
    if (ec) return {false, "cannot copy the server list into " + home.string() + ": " + ec.message() + "."};
  }
  return {true, ""};
}

// The package's system user when the target system has it (its sysusers.d file ran).
UnitAccount AccountFor(const ServiceIdentity& id, const SystemdTarget& target) {
  if (!target.root.empty()) {
    // A tree below a root: its own user database decides.
    std::ifstream passwd(target.root / "etc/passwd");
    const std::string head = ServiceUserName(id) + ":";
    for (std::string line; std::getline(passwd, line);) {
      if (line.rfind(head, 0) == 0) return UnitAccount::kSystemUser;
    }
    return UnitAccount::kDynamicUser;
  }
  return ::getpwnam(ServiceUserName(id).c_str()) != nullptr ? UnitAccount::kSystemUser
                                                            : UnitAccount::kDynamicUser;
}

bool UsesStateDirectory(const std::string& unit) {
  return unit.find("\nStateDirectory=") != std::string::npos;
}

// Writes `text` to a new file `path` (never over an existing one, never through a link).
SetupResult WriteNewFile(const fs::path& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int err = errno;
    if (err == EEXIST) return {false, "the service is already installed (" + path.string() + " exists)."};
    return {false, "cannot write " + path.string() + ": " + std::strerror(err) + "."};
  }
  ::fchmod(fd, 0644);  // whatever the umask
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      ::close(fd);
      ::unlink(path.c_str());
      return {false, "cannot write " + path.string() + ": " + std::strerror(err) + "."};
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    ::unlink(path.c_str());
    return {false, "cannot write " + path.string() + "."};
  }
  return {true, ""};
}

}  // namespace

SetupResult InstallService(const ServiceIdentity& id, const fs::path& program, const fs::path& home,
                           const SystemdTarget& target) {
  const std::string unit = std::string(id.name) + ".service";
  const fs::path unit_path = target.UnitPath(id);
  if (IsLink(target.EnableLink(id)) || IsLink(unit_path))
    return {false, "the service is already installed (" + unit + " is enabled)."};
  UnitText text = MakeUnitFile(id, program, home, AccountFor(id, target));
  if (!text.error.empty()) return {false, "no unit can be written: " + text.error + "."};
  std::error_code ec;
  fs::create_directories(target.UnitDir(), ec);
  if (ec) return {false, "cannot create " + target.UnitDir().string() + ": " + ec.message() + "."};
  // A StateDirectory= is systemd's to create at the first start (it warns about one made
  // before, and moves it for a dynamic user); the unit copies the list in then.
  if (!UsesStateDirectory(text.text)) {
    if (SetupResult home_ready = PrepareHome(program, home); !home_ready.ok) return home_ready;
  }
  if (SetupResult written = WriteNewFile(unit_path, text.text); !written.ok) return written;

  // From here a failure takes back what was done.
  auto undo = [&](SetupResult failed) {
    Systemctl(target, {"disable", "--quiet", unit});
    ::unlink(unit_path.c_str());
    if (target.manager_running) Systemctl(target, {"daemon-reload"});
    return failed;
  };
  if (target.manager_running) {
    if (SetupResult r = Systemctl(target, {"daemon-reload"}); !r.ok) return undo(r);
    if (SetupResult r = Systemctl(target, {"enable", "--now", unit}); !r.ok) return undo(r);
    return {true, unit + " written to " + unit_path.string() + ", enabled and started."};
  }
  if (SetupResult r = Systemctl(target, {"enable", unit}); !r.ok) return undo(r);
  if (!IsLink(target.EnableLink(id)))
    return undo(
        {false, "systemctl did not enable " + unit + " (no " + target.EnableLink(id).string() + ")."});
  return {true, unit + " written to " + unit_path.string() +
                    " and enabled; systemd is not running here, so it starts at the next boot."};
}

SetupResult UninstallService(const ServiceIdentity& id, const SystemdTarget& target) {
  const std::string unit = std::string(id.name) + ".service";
  const fs::path unit_path = target.UnitPath(id);
  std::error_code ec;
  const bool ours = IsOurUnit(id, unit_path);
  const bool other_file = !ours && fs::exists(fs::symlink_status(unit_path, ec));
  const bool enabled = IsLink(target.EnableLink(id));
  if (other_file)
    return {false,
            unit_path.string() + " was not written by " + std::string(id.program) + " -install; left alone."};
  if (!ours && !enabled) return {false, "the service is not installed (no " + unit_path.string() + ")."};
  if (SetupResult r =
          Systemctl(target, target.manager_running ? std::vector<std::string>{"disable", "--now", unit}
                                                   : std::vector<std::string>{"disable", unit});
      !r.ok)
    return r;
  if (ours && ::unlink(unit_path.c_str()) != 0 && errno != ENOENT)
    return {false, "cannot remove " + unit_path.string() + ": " + std::strerror(errno) + "."};
  if (target.manager_running) Systemctl(target, {"daemon-reload"});
  const std::string done = target.manager_running ? " stopped, disabled" : " disabled";
  return {true, unit + done + (ours ? " and removed." : ".")};
}

}  // namespace mdl::service
