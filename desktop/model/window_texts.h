// The texts of the server's window, and those that follow from its state:
// tree nodes, region lines, tray picture rule, tooltips, the count guard.
// All texts are UTF-8; line breaks are "\n"; "&" marks a control's access key
// (both toolkits read it so).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/time/utc_time.h"
#include "server/serving/service_kinds.h"

namespace mdl::desktop {

// The tree: node 1 the root, 2 to 6 the services, 7 About, 8 the configuration.
inline constexpr int kNodeRoot = 1;
inline constexpr int kNodeCount = 8;
inline constexpr int kNodeAbout = 7;
inline constexpr int kNodeConfig = 8;
// The caption of tree node 1 to 8; empty for other numbers.
std::string NodeCaption(int node);
// The service whose panel node 1 to 6 shows (the root shows Time).
std::optional<Service> NodeService(int node);
// The tree node of a service's panel.
int ServiceNode(Service s);
// The picture of tree node 1 to 8 (image_numbers.h): a service's for the
// service nodes, the server's for the others.
int NodeImage(int node);

// The seven region lines in list order; the first two characters are the code.
const std::vector<std::string>& RegionLines();
// Index of the line whose code is `code`, -1 when none matches.
int RegionLineIndex(std::string_view code);
// The code of line `index` ("NA"), empty when there is no such line.
std::string RegionLineCode(int index);

inline constexpr const char* kProductLine = "Meridel Server 5110";
inline constexpr const char* kWindowCaption = "Meridel Server";

// The window caption: "NTPms " + `LastMillis` once an NTP reply went out.
std::string WindowCaption(int last_ntp_millis);
std::string ConfigCaption(std::string_view main_caption);

// Which picture the tray icon shows for its tip.
enum class TrayPicture { kKeep, kServer, kSelectedServerFlag };
TrayPicture TrayPictureFor(std::string_view tip);
// The tip before any synchronisation: a blank, the product line.
std::string DefaultTrayTip();

// " Time Zone: <name> ": the daylight name while daylight saving time is in
// effect, else the standard name; up to its first NUL, at most 32 characters.
std::string TimeZoneTooltip(const ZoneFacts& zone);

// Status texts as the labels show them: CR LF and lone CR become "\n".
std::string LabelText(std::string_view text);

// `SyncN`'s guard: the last character is removed until the text is numeric or empty.
std::string GuardCountText(std::string text);
// The entry of `SyncIntC`'s list (server_text::kUnits) that `unit` means: the
// one whose first three characters it starts with, as the schedule reads it; -1 for none.
int UnitItemIndex(std::string_view unit);

// The fixed texts of the main window's controls.
namespace server_text {
// A service panel (`proto_f`): the frame's caption is NodeCaption(ServiceNode(s)).
inline constexpr const char* kEnabled = "&Enabled";
inline constexpr const char* kTcp = "&TCP";
inline constexpr const char* kUdp = "&UDP";
inline constexpr const char* kPortLabel = "&Port:";
inline constexpr const char* kRequesterLabel = "&Last request from:";
// The port field takes at most this many characters.
inline constexpr int kPortMaxLength = 10;
// The synchronisation frame (`Options`).
inline constexpr const char* kSyncFrame = "Server Synchronization";
inline constexpr const char* kSyncFrameTooltip = " Double-click to synchronize now ";
inline constexpr const char* kServersLabel = "Atomic time &server:";
inline constexpr const char* kRandom = "&Randomize Atomic Time Servers";
inline constexpr const char* kEveryLabel = "Synchronize e&very:";
// `SyncIntC`'s list and its text before the first snapshot.
inline constexpr std::array<const char*, 4> kUnits = {"Second/s", "Minute/s", "Hour/s", "Day/s"};
inline constexpr const char* kDefaultUnit = "Minute/s";
// The activity indicators (`LED`), in Indicator order: name and meaning.
inline constexpr std::array<const char*, kIndicatorCount> kLedNames = {"SRC", "IN", "OUT", "UDP", "TCP"};
inline constexpr std::array<const char*, kIndicatorCount> kLedMeanings = {
    "querying the atomic time server", "request received", "reply sent", "UDP request", "TCP connection"};
// The tray icon's menu (`mnuMain`): `mnuShow`, `mnuExit`.
inline constexpr const char* kMenuShow = "Show";
inline constexpr const char* kMenuExit = "Exit";
// The About window.
inline constexpr const char* kAboutCaption = "About Meridel Server";
inline constexpr const char* kAboutClose = "Close";
}  // namespace server_text

// " SRC: querying the atomic time server ": indicator `index`'s tooltip (empty out of range).
std::string LedTooltip(int index);
// The clock box before the first snapshot: two blank lines, the product line.
std::string InitialClockText();
// The About window's heading: the product line, then "Version <version>".
std::string AboutHeading(std::string_view version);
// Where the settings are kept, as the About window names it, by default.
inline constexpr const char* kSettingsFileName = "registry.reg";
// The About window's paragraphs, plain text; `settings_place` names where
// the settings are kept (a file of the program folder, or a registry key).
std::vector<std::string> AboutParagraphs(std::string_view settings_place = kSettingsFileName);
// The same paragraphs in spans, for a window that can show a name in italics
// and a file name in a fixed-width font; joined, a paragraph's spans give its plain text.
enum class TextStyle { kPlain, kEmphasis, kFileName };
struct TextSpan {
  std::string text;
  TextStyle style = TextStyle::kPlain;
};
std::vector<std::vector<TextSpan>> AboutParagraphSpans(std::string_view settings_place = kSettingsFileName);

}  // namespace mdl::desktop
