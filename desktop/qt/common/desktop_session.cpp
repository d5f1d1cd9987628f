// XDG autostart entries and the date and time settings program.
#include "desktop/qt/common/desktop_session.h"

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace mdl::ui {
namespace {

std::string QuoteExecWord(const std::string& w) {
  bool plain = !w.empty();
  for (char c : w) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '.' || c == '-' || c == '_' ||
          c == ':' || c == '=' || c == '+' || c == ','))
      plain = false;
  }
  if (plain) return w;
  // Quoted word: ", `, $ and \ escaped; % doubled (field codes).
  std::string out = "\"";
  for (char c : w) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') {
      out += "\\\\";
      out += c;
      continue;
    }
    if (c == '%') {
      out += "%%";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::filesystem::path AutostartEntryPath(const std::string& id) {
  std::filesystem::path base;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/') {
    base = x;
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    base = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  return base / "autostart" / (id + ".desktop");
}

std::string DesktopExecLine(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
  std::string line = QuoteExecWord(program.string());
  for (const std::string& a : arguments) line += " " + QuoteExecWord(a);
  return line;
}

std::string SetAutostart(const std::string& id, const std::string& name, const std::filesystem::path& program,
                         const std::vector<std::string>& arguments, bool on) {
  const std::filesystem::path path = AutostartEntryPath(id);
  if (path.empty()) return "no configuration folder (neither XDG_CONFIG_HOME nor HOME is set)";
  std::error_code ec;
  if (!on) {
    std::filesystem::remove(path, ec);
    return ec ? path.string() + ": " + ec.message() : std::string();
  }
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) return path.parent_path().string() + ": " + ec.message();
  const std::filesystem::path temp = path.string() + ".new";
  {
    std::ofstream f(temp, std::ios::trunc);
    f << "[Desktop Entry]\nType=Application\nName=" << name
      << "\nExec=" << DesktopExecLine(program, arguments)
      << "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    f.flush();
    if (!f) {
      std::filesystem::remove(temp, ec);
      return temp.string() + ": cannot be written";
    }
  }
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    return path.string() + ": " + ec.message();
  }
  return {};
}

bool StartDateTimeSettings() {
  static const QList<QStringList> kPrograms = {
      {"gnome-control-center", "datetime"},
      {"systemsettings", "kcm_clock"},
      {"systemsettings5", "clock"},
      {"cinnamon-settings", "calendar"},
      {"mate-time-admin"},
      {"time-admin"},
      {"lxqt-config-datetime"},
      {"xfce4-datetime-settings"},
  };
  for (const QStringList& p : kPrograms) {
    const QString exe = QStandardPaths::findExecutable(p.first());
    if (exe.isEmpty()) continue;
    if (QProcess::startDetached(exe, p.mid(1))) return true;
  }
  return false;
}

}  // namespace mdl::ui
