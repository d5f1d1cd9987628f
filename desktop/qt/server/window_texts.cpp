// Texts and choices of the server window.
#include "desktop/qt/server/window_texts.h"

#include "server/upstream/numeric_text.h"

namespace mdl::ui {

QString NodeCaption(int node) {
  static const char* const kCaptions[kNodeCount] = {"MDL Servers",
                                                    "Time Service Server",
                                                    "Daytime Service Server",
                                                    "SNTP v4 Service Server",
                                                    "UnixTime Service Server",
                                                    "MDL Server Client Server",
                                                    "MDL About/Help",
                                                    "MDL Advanced Config"};
  if (node < 1 || node > kNodeCount) return {};
  return QString::fromLatin1(kCaptions[node - 1]);
}

namespace {

// The one node<->service mapping: nodes 2 to 6 are the services in panel
// order (that of Service); the root shows the Time panel.
constexpr int kFirstServiceNode = 2;

}  // namespace

std::optional<Service> NodeService(int node) {
  if (node == 1) return Service::kTime;
  const int slot = node - kFirstServiceNode;
  if (slot < 0 || slot >= static_cast<int>(kServiceCount)) return std::nullopt;
  return kAllServices[static_cast<size_t>(slot)];
}

int ServiceNode(Service s) { return kFirstServiceNode + static_cast<int>(Index(s)); }

const QStringList& RegionLines() {
  static const QStringList kLines = {
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
  const QString c = QString::fromUtf8(code.data(), static_cast<qsizetype>(code.size()));
  if (c.size() != 2) return -1;
  const QStringList& lines = RegionLines();
  for (int i = 0; i < lines.size(); ++i)
    if (lines[i].left(2) == c) return i;
  return -1;
}

QString WindowCaption(int last_ntp_millis) {
  if (last_ntp_millis < 0) return QString::fromLatin1(kWindowCaption);
  return "NTPms " + QString::number(last_ntp_millis);
}

QString ConfigCaption(const QString& main_caption) { return "CONFIG - " + main_caption; }

TrayPicture TrayPictureFor(std::string_view tip) {
  if (tip.find("No Adjustment") != std::string_view::npos) return TrayPicture::kKeep;
  if (tip.find("Adjusted") != std::string_view::npos) return TrayPicture::kServer;
  if (tip.find("Checking") != std::string_view::npos) return TrayPicture::kSelectedServerFlag;
  return TrayPicture::kKeep;
}

QString DefaultTrayTip() { return " " + QString::fromLatin1(kProductLine); }

QString TimeZoneTooltip(const ZoneFacts& zone) {
  std::string name = zone.daylight ? zone.daylight_name : zone.standard_name;
  if (auto nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
  QString q = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())).left(32);
  return " Time Zone: " + q + " ";
}

QString LabelText(std::string_view text) {
  QString q = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  q.replace("\r\n", "\n");
  q.replace('\r', '\n');
  return q;
}

QString GuardCountText(QString text) {
  while (!text.isEmpty() && !IsNumericText(text.toStdString())) text.chop(1);
  return text;
}

}  // namespace mdl::ui
