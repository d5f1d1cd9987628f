// Texts and choices of the server window.
#include "desktop/model/window_texts.h"

#include "desktop/model/image_numbers.h"
#include "server/upstream/numeric_text.h"

namespace mdl::desktop {
namespace {

// The one node<->service mapping: nodes 2 to 6 are the services in panel
// order (that of Service); the root shows the Time panel.
constexpr int kFirstServiceNode = 2;

// Bytes of `text`'s first `count` characters (UTF-8; a broken sequence counts byte by byte).
size_t PrefixBytes(std::string_view text, size_t count) {
  size_t i = 0;
  for (size_t n = 0; n < count && i < text.size(); ++n) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return i;
}

}  // namespace

std::string NodeCaption(int node) {
  static const char* const kCaptions[kNodeCount] = {"MDL Servers",
                                                    "Time Service Server",
                                                    "Daytime Service Server",
                                                    "SNTP v4 Service Server",
                                                    "UnixTime Service Server",
                                                    "MDL Server Client Server",
                                                    "MDL About/Help",
                                                    "MDL Advanced Config"};
  if (node < 1 || node > kNodeCount) return {};
  return kCaptions[node - 1];
}

std::optional<Service> NodeService(int node) {
  if (node == kNodeRoot) return Service::kTime;
  const int slot = node - kFirstServiceNode;
  if (slot < 0 || slot >= static_cast<int>(kServiceCount)) return std::nullopt;
  return kAllServices[static_cast<size_t>(slot)];
}

int ServiceNode(Service s) { return kFirstServiceNode + static_cast<int>(Index(s)); }

int NodeImage(int node) { return node != kNodeRoot && NodeService(node) ? kImageService : kImageServer; }

const std::vector<std::string>& RegionLines() {
  static const std::vector<std::string> kLines = {
      "NA - North America [USA, Canada, Mexico]",
      "SA - South America [Chile , Brazil, Columbia]",
      "EU - Europe [UK, Spain, Italy, France]",
      "AF - Africa [Kenya, Egypt, South Africa]",
      "AW - West Asia [Afghanistan, Russia, Indonesia]",
      "AE - East Asia [Bangladesh, Thailand, India, China]",
      "AP - Asia Pacific [Australia, Japan, New Zealand]",
  };
  return kLines;
}

int RegionLineIndex(std::string_view code) {
  if (code.size() != 2) return -1;
  const std::vector<std::string>& lines = RegionLines();
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].compare(0, 2, code) == 0) return static_cast<int>(i);
  return -1;
}

std::string RegionLineCode(int index) {
  const std::vector<std::string>& lines = RegionLines();
  if (index < 0 || index >= static_cast<int>(lines.size())) return {};
  return lines[static_cast<size_t>(index)].substr(0, 2);
}

std::string WindowCaption(int last_ntp_millis) {
  if (last_ntp_millis < 0) return kWindowCaption;
  return "NTPms " + std::to_string(last_ntp_millis);
}

std::string ConfigCaption(std::string_view main_caption) { return "CONFIG - " + std::string(main_caption); }

TrayPicture TrayPictureFor(std::string_view tip) {
  if (tip.find("No Adjustment") != std::string_view::npos) return TrayPicture::kKeep;
  if (tip.find("Adjusted") != std::string_view::npos) return TrayPicture::kServer;
  if (tip.find("Checking") != std::string_view::npos) return TrayPicture::kSelectedServerFlag;
  return TrayPicture::kKeep;
}

std::string DefaultTrayTip() { return " " + std::string(kProductLine); }

std::string TimeZoneTooltip(const ZoneFacts& zone) {
  std::string_view name = zone.daylight ? zone.daylight_name : zone.standard_name;
  if (auto nul = name.find('\0'); nul != std::string_view::npos) name = name.substr(0, nul);
  name = name.substr(0, PrefixBytes(name, 32));
  return " Time Zone: " + std::string(name) + " ";
}

std::string LabelText(std::string_view text) {
  std::string s;
  s.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      s.push_back(text[i]);
    } else if (i + 1 >= text.size() || text[i + 1] != '\n') {
      s.push_back('\n');
    }
  }
  return s;
}

int UnitItemIndex(std::string_view unit) {
  if (unit.size() < 3) return -1;
  for (size_t i = 0; i < server_text::kUnits.size(); ++i)
    if (std::string_view(server_text::kUnits[i]).substr(0, 3) == unit.substr(0, 3))
      return static_cast<int>(i);
  return -1;
}

std::string GuardCountText(std::string text) {
  while (!text.empty() && !IsNumericText(text)) {
    // One character off the end: a whole UTF-8 sequence.
    size_t end = text.size() - 1;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
  }
  return text;
}

std::string LedTooltip(int index) {
  if (index < 0 || index >= static_cast<int>(kIndicatorCount)) return {};
  const auto i = static_cast<size_t>(index);
  std::string tip = " ";
  tip.append(server_text::kLedNames[i]).append(": ").append(server_text::kLedMeanings[i]).append(" ");
  return tip;
}

std::string InitialClockText() { return " \n \n   " + std::string(kProductLine); }

std::string AboutHeading(std::string_view version) {
  return std::string(kProductLine) + "\nVersion " + std::string(version);
}

std::vector<std::vector<TextSpan>> AboutParagraphSpans(std::string_view settings_place) {
  // A registry key is no file of the program folder.
  const bool key = settings_place.rfind("HKEY_", 0) == 0;
  return {
      {{"A network time server. It takes its time from an atomic time server with one SNTP "
        "exchange and answers Time (37), Daytime (13), NTP/SNTP (123), UnixTime (519) and the "
        "Meridel client protocol (3777), over TCP and UDP."}},
      {{"Choose a service in the tree to switch it and its transports on or off and to change its port "
        "(press Enter to register the change). Double-click "},
       {"Server Synchronization", TextStyle::kEmphasis},
       {" to synchronize at once. Minimised, the server runs from the tray icon: a click shows the window "
        "again, the right button offers Show and Exit."}},
      {{"Settings are kept in "},
       {std::string(settings_place), TextStyle::kFileName},
       {key ? ", request logs in " : " and request logs in "},
       {"Logs/", TextStyle::kFileName},
       {" of the program folder."}},
  };
}

std::vector<std::string> AboutParagraphs(std::string_view settings_place) {
  std::vector<std::string> plain;
  for (const std::vector<TextSpan>& spans : AboutParagraphSpans(settings_place)) {
    std::string text;
    for (const TextSpan& span : spans) text += span.text;
    plain.push_back(std::move(text));
  }
  return plain;
}

}  // namespace mdl::desktop
