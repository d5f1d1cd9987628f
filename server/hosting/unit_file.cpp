// Unit file text for the service programs.
#include "server/hosting/unit_file.h"

#include "server/hosting/event_log.h"

namespace mdl::service {

const ServiceIdentity kServerService{
    .name = "MDLServer",
    .display_name = "Meridel Server",
    .description = "Meridel Server Services",
    .program = "QOR_MDL_Server_SVC",
    .product = "MDL Server",
    .lock_name = ".QOR_MDL_Server.lock",
    .state_name = "server",
    .serves = true,
};

const ServiceIdentity kClientService{
    .name = "MDLClient",
    .display_name = "Meridel Server Client",
    .description = "Meridel Server Client Service",
    .program = "QOR_MDLSC_SVC",
    .product = "MDL Server Client",
    .lock_name = ".QOR_MDLSC.lock",
    .state_name = "client",
    .serves = false,
};

namespace fs = std::filesystem;

fs::path DefaultHome(const ServiceIdentity& id, const fs::path& program_folder) {
  fs::path folder = program_folder.lexically_normal();
  if (!folder.has_filename() && folder.has_parent_path()) folder = folder.parent_path();  // a trailing "/"
  if (folder == fs::path(kPackageProgramDir)) return fs::path(kPackageStateDir) / id.state_name;
  return program_folder;
}

std::string ServiceUserName(const ServiceIdentity& id) { return "meridel-" + std::string(id.state_name); }

std::string UnitMarker(const ServiceIdentity& id) {
  return "# Written by " + std::string(id.program) + " -install.";
}

namespace {

// The word in double quotes, with \ and " escaped and % doubled (and $ too when
// `dollar`); empty when a byte cannot stand in a unit line.
std::string Quote(std::string_view word, bool dollar) {
  std::string out = "\"";
  while (!word.empty()) {
    const size_t length = Utf8SequenceLength(word);
    if (length == 0 || IsControlCharacter(word.substr(0, length))) return "";
    const char c = word[0];
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%' || (dollar && c == '$')) out += c;
    out += word.substr(0, length);
    word.remove_prefix(length);
  }
  return out + "\"";
}

}  // namespace

std::string QuoteUnitWord(std::string_view word) { return Quote(word, false); }

std::string QuoteUnitArgument(std::string_view word) { return Quote(word, true); }

namespace {

// The path below /var/lib/ when `home` lies there (a StateDirectory= name).
std::string StateDirectoryName(const fs::path& home) {
  const fs::path normal = home.lexically_normal();
  const fs::path rel = normal.lexically_relative("/var/lib");
  if (rel.empty() || *rel.begin() == ".." || rel == ".") return "";
  for (const auto& part : rel) {
    if (part == "." || part == ".." || part == "private") return "";
  }
  std::string name = rel.string();
  while (!name.empty() && name.back() == '/') name.pop_back();
  return name;
}

}  // namespace

UnitText MakeUnitFile(const ServiceIdentity& id, const fs::path& program, const fs::path& home,
                      UnitAccount account) {
  UnitText out;
  if (!program.is_absolute() || !home.is_absolute()) {
    out.error = "the program and its folder must be absolute paths";
    return out;
  }
  const std::string normal_home = home.lexically_normal().string();
  // systemd takes the executable's path as it stands, but substitutes "$" in the arguments.
  const std::string program_word = QuoteUnitWord(program.string());
  const std::string home_argument = QuoteUnitArgument(normal_home);
  const std::string home_word = QuoteUnitWord(normal_home);
  if (program_word.empty() || home_word.empty()) {
    out.error = "the path of the program or of its folder holds a control character or is not UTF-8 text";
    return out;
  }
  const std::string state = StateDirectoryName(home);
  const bool system_user = !state.empty() && account == UnitAccount::kSystemUser;
  // Request logs in /var/log for the administrators (group adm); a ':' would end BindPaths='s source.
  const bool log_folder = system_user && id.serves && normal_home.find(':') == std::string::npos;
  const std::string list_name = "QOR_MDLS4.MDL";
  const std::string caps = id.serves ? "CAP_SYS_TIME CAP_NET_BIND_SERVICE" : "CAP_SYS_TIME";
  std::string& t = out.text;
  t += UnitMarker(id) + "\n";
  t += "[Unit]\n";
  t += "Description=" + std::string(id.display_name) + " (" + std::string(id.description) + ")\n";
  t += "Documentation=man:" + std::string(id.program) + "(8)\n";
  t += "Wants=network-online.target\n";
  t += "After=network-online.target\n";
  t += "\n[Service]\n";
  t += "Type=notify\n";
  t += "NotifyAccess=main\n";
  if (!state.empty() && id.serves) {
    // systemd makes the state folder at the first start; the shipped list goes in then,
    // never over one that is there ("-": a program without a list beside it still starts).
    t += "ExecStartPre=-/bin/cp --no-clobber " +
         QuoteUnitArgument((program.parent_path() / list_name).string()) + " " +
         QuoteUnitArgument((fs::path(normal_home) / list_name).string()) + "\n";
  }
  t += "ExecStart=" + program_word + " --home " + home_argument + "\n";
  // The server re-reads its settings on SIGHUP (systemctl reload).
  if (id.serves) t += "ExecReload=/bin/kill -HUP $MAINPID\n";
  t += "Restart=on-failure\n";
  t += "RestartSec=5s\n";
  t += "WatchdogSec=30s\n";
  t += "TimeoutStopSec=30s\n";
  t += "SyslogIdentifier=" + std::string(id.program) + "\n";
  t += "LimitNOFILE=65536\n";
  // Least privilege: setting the clock (and, for the server, the ports
  // below 1024) and nothing else.
  if (system_user) {
    t += "User=" + ServiceUserName(id) + "\n";
    // The request logs' group, which the files take from the process.
    if (log_folder) t += "Group=adm\n";
    t += "StateDirectory=" + QuoteUnitWord(state) + "\n";
    t += "StateDirectoryMode=0700\n";
    if (log_folder) {
      t += "LogsDirectory=" + QuoteUnitWord(state) + "\n";
      t += "LogsDirectoryMode=0750\n";
      // The program writes <home>/Logs and refuses a link there: the folder is mounted on it.
      t += "BindPaths=" + QuoteUnitWord("/var/log/" + state) + ":" + QuoteUnitWord(normal_home + "/Logs") +
           "\n";
    }
    t += "AmbientCapabilities=" + caps + "\n";
  } else if (!state.empty()) {
    t += "DynamicUser=yes\n";
    t += "User=" + ServiceUserName(id) + "\n";
    t += "StateDirectory=" + QuoteUnitWord(state) + "\n";
    t += "AmbientCapabilities=" + caps + "\n";
  } else {
    t += "ReadWritePaths=" + home_word + "\n";
  }
  t += "CapabilityBoundingSet=" + caps + "\n";
  t += "NoNewPrivileges=yes\n";
  t += "ProtectSystem=strict\n";
  t += "ProtectHome=yes\n";
  t += "PrivateTmp=yes\n";
  t += "PrivateDevices=yes\n";
  t += "PrivateIPC=yes\n";
  t += "PrivateMounts=yes\n";
  t += "ProtectHostname=yes\n";
  t += "ProtectKernelTunables=yes\n";
  t += "ProtectKernelModules=yes\n";
  t += "ProtectKernelLogs=yes\n";
  t += "ProtectControlGroups=yes\n";
  t += "ProtectProc=invisible\n";
  t += "ProcSubset=pid\n";
  t += "DevicePolicy=closed\n";
  t += "KeyringMode=private\n";
  t += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n";
  t += "RestrictNamespaces=yes\n";
  t += "RestrictRealtime=yes\n";
  t += "RestrictSUIDSGID=yes\n";
  t += "LockPersonality=yes\n";
  t += "MemoryDenyWriteExecute=yes\n";
  t += "RemoveIPC=yes\n";
  t += log_folder ? "UMask=0027\n" : "UMask=0077\n";
  t += "SystemCallArchitectures=native\n";
  t += "SystemCallFilter=@system-service @clock\n";
  t += "SystemCallFilter=~@resources @chown @module @raw-io @reboot @swap @mount @debug @cpu-emulation "
       "@obsolete\n";
  t += "SystemCallErrorNumber=EPERM\n";
  t += "\n[Install]\n";
  t += "WantedBy=multi-user.target\n";
  return out;
}

}  // namespace mdl::service
