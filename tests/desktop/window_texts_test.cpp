// The server window's texts and the rules behind them.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "desktop/model/image_numbers.h"
#include "desktop/model/window_texts.h"

namespace mdl::desktop {
namespace {

TEST(WindowTextsTest, TreeNodesAndServicesMapBothWays) {
  std::set<Service> seen;
  for (Service s : kAllServices) {
    const int node = ServiceNode(s);
    ASSERT_EQ(NodeService(node), s) << node;
    EXPECT_FALSE(NodeCaption(node).empty());
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), kServiceCount);
  EXPECT_EQ(NodeService(kNodeRoot), Service::kTime);
  EXPECT_EQ(NodeCaption(kNodeRoot), "MDL Servers");
  EXPECT_EQ(NodeCaption(ServiceNode(Service::kPrivate)), "MDL Server Client Server");
  EXPECT_EQ(NodeCaption(kNodeAbout), "MDL About/Help");
  EXPECT_EQ(NodeCaption(kNodeConfig), "MDL Advanced Config");
  for (int node : {0, kNodeAbout, kNodeConfig, kNodeCount + 1}) EXPECT_FALSE(NodeService(node)) << node;
  EXPECT_EQ(NodeCaption(0), "");
  EXPECT_EQ(NodeCaption(kNodeCount + 1), "");
  // Service nodes show the service picture, the root, About and the configuration the server's.
  EXPECT_EQ(NodeImage(ServiceNode(Service::kTime)), kImageService);
  EXPECT_EQ(NodeImage(kNodeRoot), kImageServer);
  EXPECT_EQ(NodeImage(kNodeConfig), kImageServer);
}

TEST(WindowTextsTest, RegionLinesAreFoundByTheirCode) {
  EXPECT_EQ(RegionLineIndex("NA"), 0);
  EXPECT_EQ(RegionLineIndex("AP"), 6);
  EXPECT_EQ(RegionLineIndex("na"), -1);
  EXPECT_EQ(RegionLineIndex(""), -1);
  EXPECT_EQ(RegionLineIndex("NAX"), -1);
  for (int i = 0; i < static_cast<int>(RegionLines().size()); ++i)
    EXPECT_EQ(RegionLineIndex(RegionLineCode(i)), i);
  EXPECT_EQ(RegionLineCode(2), "EU");
  EXPECT_EQ(RegionLineCode(-1), "");
  EXPECT_EQ(RegionLineCode(7), "");
}

TEST(WindowTextsTest, CaptionsTipsAndTooltipsFollowTheirRules) {
  EXPECT_EQ(WindowCaption(-1), "Meridel Server");
  EXPECT_EQ(WindowCaption(0), "NTPms 0");
  EXPECT_EQ(WindowCaption(250), "NTPms 250");
  EXPECT_EQ(ConfigCaption("NTPms 3"), "CONFIG - NTPms 3");
  EXPECT_EQ(DefaultTrayTip(), " Meridel Server 5110");
  EXPECT_EQ(TrayPictureFor(" Checking Time Server: a "), TrayPicture::kSelectedServerFlag);
  EXPECT_EQ(TrayPictureFor(" Adjusted by: 3 ms. "), TrayPicture::kServer);
  EXPECT_EQ(TrayPictureFor(" No Adjustment; Adjusted Checking "), TrayPicture::kKeep);
  EXPECT_EQ(TrayPictureFor(" Clock could not be set "), TrayPicture::kKeep);
  EXPECT_EQ(LedTooltip(0), " SRC: querying the atomic time server ");
  EXPECT_EQ(LedTooltip(4), " TCP: TCP connection ");
  EXPECT_EQ(LedTooltip(5), "");
  EXPECT_EQ(AboutHeading("5.1.10"), "Meridel Server 5110\nVersion 5.1.10");
  // The plain paragraphs are the styled ones without their styles.
  ASSERT_EQ(AboutParagraphs().size(), AboutParagraphSpans().size());
  EXPECT_NE(AboutParagraphs()[1].find("Double-click Server Synchronization to synchronize"),
            std::string::npos);
  // The settings' place: the file of the program folder, or the registry key the Windows programs use.
  EXPECT_EQ(AboutParagraphs()[2],
            "Settings are kept in registry.reg and request logs in Logs/ of the program folder.");
  EXPECT_EQ(AboutParagraphs("HKEY_LOCAL_MACHINE\\Software\\Meridel Server")[2],
            "Settings are kept in HKEY_LOCAL_MACHINE\\Software\\Meridel Server, request logs in Logs/ of the "
            "program folder.");
}

TEST(WindowTextsTest, ZoneTooltipTakesThirtyTwoCharactersUpToANul) {
  ZoneFacts z;
  z.standard_name = "W. Europe Standard Time, a name longer than 32 characters";
  EXPECT_EQ(TimeZoneTooltip(z), " Time Zone: W. Europe Standard Time, a name  ");
  z.daylight = true;
  z.daylight_name = std::string("AB\0CD", 5);
  EXPECT_EQ(TimeZoneTooltip(z), " Time Zone: AB ");
  // Characters, not bytes: 31 ASCII and two two-byte letters keep one of them whole.
  z.daylight_name = std::string(31, 'x') + "\xC3\xA9\xC3\xA9";
  EXPECT_EQ(TimeZoneTooltip(z), " Time Zone: " + std::string(31, 'x') + "\xC3\xA9 ");
}

TEST(WindowTextsTest, LabelsAndTheCountGuardEditTexts) {
  EXPECT_EQ(LabelText("a\r\nb\rc"), "a\nb\nc");
  EXPECT_EQ(LabelText("\r\r\n\n"), "\n\n\n");
  EXPECT_EQ(LabelText("end\r"), "end\n");
  EXPECT_EQ(GuardCountText("5a"), "5");
  EXPECT_EQ(GuardCountText("12.5x!"), "12.5");
  EXPECT_EQ(GuardCountText("abc"), "");
  EXPECT_EQ(GuardCountText(""), "");
  // A trailing multi-byte character goes whole, not byte by byte.
  EXPECT_EQ(GuardCountText("7\xE2\x82\xAC"), "7");
}

TEST(WindowTextsTest, FlagImagesHaveCountries) {
  EXPECT_EQ(FlagCountry(40), "us");
  EXPECT_EQ(FlagCountry(51), "europeanunion");
  EXPECT_EQ(FlagCountry(70), "sg");
  EXPECT_EQ(FlagCountry(kImageNoFlag), "");
  EXPECT_EQ(FlagCountry(71), "");
  // Numbers count up without a gap from 40, and no country comes twice.
  std::set<std::string_view> countries;
  for (size_t i = 0; i < kFlagImages.size(); ++i) {
    EXPECT_EQ(kFlagImages[i].number, 40 + static_cast<int>(i));
    countries.insert(kFlagImages[i].country);
  }
  EXPECT_EQ(countries.size(), kFlagImages.size());
  EXPECT_TRUE(HasImage(kImageLedOn));
  EXPECT_TRUE(HasImage(66));
  EXPECT_FALSE(HasImage(3));
}

}  // namespace
}  // namespace mdl::desktop
