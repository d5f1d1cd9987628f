// The client window's layout: at every DPI and size no two controls overlap,
// each stays inside the client area, the report box takes the room left and
// the least size shows everything unclipped.
#include <gtest/gtest.h>

#include <vector>

#include "desktop/win32/client/client_layout.h"

namespace mdl::win32 {
namespace {

// Text sizes as a message font of about 9 points measures them.
ClientLayoutMetrics MetricsAt(int dpi) {
  ClientLayoutMetrics m;
  m.dpi = dpi;
  m.line_height = ScaleToDpi(15, dpi);
  m.field_height = ScaleToDpi(21, dpi);
  m.label_width = ScaleToDpi(104, dpi);
  m.number_width = ScaleToDpi(70, dpi);
  m.unit_width = ScaleToDpi(50, dpi);
  m.check_width = ScaleToDpi(190, dpi);
  m.report_width = ScaleToDpi(330, dpi);
  m.problem_lines = 2;
  return m;
}

bool Overlap(const LayoutRect& a, const LayoutRect& b) {
  return a.x < b.right() && b.x < a.right() && a.y < b.bottom() && b.y < a.bottom();
}

TEST(ClientLayout, ControlsNeitherOverlapNorLeaveTheClientArea) {
  for (int dpi : {96, 120, 144, 192}) {
    const ClientLayoutMetrics m = MetricsAt(dpi);
    for (bool problem : {false, true}) {
      const ClientLayout least = LayOutClient(m, 0, 0, problem);
      for (auto [w, h] : {std::pair{least.min_width, least.min_height}, std::pair{1600, 1000}}) {
        const ClientLayout l = LayOutClient(m, w, h, problem);
        std::vector<std::pair<const char*, LayoutRect>> shown = {
            {"host label", l.host_label}, {"host", l.host},    {"every label", l.every_label},
            {"number", l.number},         {"unit", l.unit},    {"RunMin", l.run_min},
            {"RunStart", l.run_start},    {"report", l.report}};
        if (problem) shown.push_back({"problem", l.problem});
        const std::string where = "dpi " + std::to_string(dpi) + (problem ? " with" : " without") +
                                  " the problem line, " + std::to_string(w) + "x" + std::to_string(h);
        for (size_t i = 0; i < shown.size(); ++i) {
          const LayoutRect& r = shown[i].second;
          EXPECT_GT(r.width, 0) << shown[i].first << ", " << where;
          EXPECT_GT(r.height, 0) << shown[i].first << ", " << where;
          EXPECT_TRUE(r.x >= 0 && r.y >= 0 && r.right() <= w && r.bottom() <= h)
              << shown[i].first << " leaves the client area, " << where;
          for (size_t j = i + 1; j < shown.size(); ++j)
            EXPECT_FALSE(Overlap(r, shown[j].second))
                << shown[i].first << " and " << shown[j].first << ", " << where;
        }
        // The texts fit their controls; the report box fits its widest line and five lines.
        EXPECT_GE(l.host_label.width, m.label_width) << where;
        EXPECT_GE(l.number.width, m.number_width) << where;
        EXPECT_GE(l.unit.width, m.unit_width) << where;
        EXPECT_GE(l.run_min.width, m.check_width) << where;
        EXPECT_GE(l.report.width, m.report_width) << where;
        EXPECT_GE(l.report.height, 5 * m.line_height) << where;
        EXPECT_EQ(l.number.height, m.field_height) << where;
        EXPECT_EQ(l.host.height, m.field_height) << where;
        if (problem) {
          EXPECT_GE(l.problem.height, 2 * m.line_height) << where;
        }
      }
    }
  }
}

TEST(ClientLayout, ReportBoxTakesTheRoomAndSmallAreasKeepTheLeastSize) {
  const ClientLayoutMetrics m = MetricsAt(96);
  const ClientLayout least = LayOutClient(m, 0, 0, false);
  const ClientLayout big = LayOutClient(m, least.min_width + 200, least.min_height + 100, false);
  EXPECT_EQ(big.report.width, least.report.width + 200);
  EXPECT_EQ(big.report.height, least.report.height + 100);
  EXPECT_EQ(big.host.width, least.host.width + 200);
  // The rows above the report stay where they are.
  EXPECT_EQ(big.run_start.y, least.run_start.y);
  EXPECT_EQ(big.unit.width, least.unit.width);
  // A client area below the least size is laid out at the least size.
  const ClientLayout tiny = LayOutClient(m, 10, 10, false);
  EXPECT_EQ(tiny.report.width, least.report.width);
  EXPECT_EQ(tiny.report.height, least.report.height);
  // The problem line pushes the report box down and raises the least height.
  const ClientLayout with_problem = LayOutClient(m, 0, 0, true);
  EXPECT_GT(with_problem.min_height, least.min_height);
  EXPECT_EQ(with_problem.report.y,
            with_problem.problem.bottom() + (least.report.y - least.run_start.bottom()));

  // The window opens at the Qt window's 440 x 300, scaled, or larger when its texts need it.
  int w = 0, h = 0;
  InitialClientSize(m, &w, &h);
  EXPECT_EQ(w, std::max(440, least.min_width));
  EXPECT_EQ(h, std::max(300, least.min_height));
  ClientLayoutMetrics wide = m;
  wide.report_width = 900;
  InitialClientSize(wide, &w, &h);
  EXPECT_GE(w, 900);
  InitialClientSize(MetricsAt(192), &w, &h);
  EXPECT_GE(w, 880);
  EXPECT_GE(h, 600);
}

}  // namespace
}  // namespace mdl::win32
