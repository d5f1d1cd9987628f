// The texts and choices of the server's window that follow from its state:
// tree nodes, region lines, tray picture rule, tooltips, the count guard.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <string_view>

#include "common/time/utc_time.h"
#include "server/serving/service_kinds.h"

namespace mdl::ui {

// The tree: node 1 the root, 2 to 6 the services, 7 About, 8 the configuration.
inline constexpr int kNodeCount = 8;
inline constexpr int kNodeAbout = 7;
inline constexpr int kNodeConfig = 8;
QString NodeCaption(int node);
// The service whose panel node 1 to 6 shows (the root shows Time).
std::optional<Service> NodeService(int node);
// The tree node of a service's panel.
int ServiceNode(Service s);

// The seven region lines in list order; the first two characters are the code.
const QStringList& RegionLines();
// Index of the line whose code is `code`, -1 when none matches.
int RegionLineIndex(std::string_view code);

inline constexpr const char* kProductLine = "Meridel Server 5110";
inline constexpr const char* kWindowCaption = "Meridel Server";

// The window caption: "NTPms " + `LastMillis` once an NTP reply went out.
QString WindowCaption(int last_ntp_millis);
QString ConfigCaption(const QString& main_caption);

// Which picture the tray icon shows for its tip.
enum class TrayPicture { kKeep, kServer, kSelectedServerFlag };
TrayPicture TrayPictureFor(std::string_view tip);
// The tip before any synchronisation: a blank, the product line.
QString DefaultTrayTip();

// " Time Zone: <name> ": the daylight name while daylight saving time is in
// effect, else the standard name; up to its first NUL, at most 32 characters.
QString TimeZoneTooltip(const ZoneFacts& zone);

// Status texts as the labels show them: CR LF and lone CR become line breaks.
QString LabelText(std::string_view text);

// `SyncN`'s guard: the last character is removed until the text is numeric or empty.
QString GuardCountText(QString text);

}  // namespace mdl::ui
