// LayOutClient.
#include "desktop/win32/client/client_layout.h"

#include <algorithm>

namespace mdl::win32 {

ClientLayout LayOutClient(const ClientLayoutMetrics& m, int width, int height, bool problem_shown) {
  auto s = [&m](int v) { return ScaleToDpi(v, m.dpi); };
  const int margin = s(11);
  const int gap = s(7);
  const int row_gap = s(6);
  // The edits take the drop-down list's height, so that a row lines up.
  const int field_height = m.field_height > 0 ? m.field_height : std::max(s(21), m.line_height + s(8));
  const int check_height = std::max(s(17), m.line_height + s(4));
  const int label_offset = (field_height - m.line_height) / 2;

  ClientLayout l;
  const int field_x = margin + m.label_width + gap;
  const int number_width = m.number_width + s(12);
  // The drop-down arrow and the borders beside the text.
  const int unit_width = m.unit_width + s(34);
  const int check_width = m.check_width + s(24);
  const int report_min_width = m.report_width + s(30);
  const int report_min_height = m.line_height * 5 + s(16);
  const int problem_height = problem_shown ? m.line_height * std::max(1, m.problem_lines) : 0;

  l.min_width = std::max({s(440), field_x + number_width + gap + unit_width + margin,
                          2 * margin + check_width, 2 * margin + report_min_width});
  const int above_report = margin + 2 * (field_height + row_gap) + 2 * (check_height + row_gap) +
                           (problem_shown ? problem_height + row_gap : 0);
  l.min_height = above_report + report_min_height + margin;
  width = std::max(width, l.min_width);
  height = std::max(height, l.min_height);

  int y = margin;
  l.host_label = {margin, y + label_offset, m.label_width, m.line_height};
  l.host = {field_x, y, width - margin - field_x, field_height};
  y += field_height + row_gap;
  l.every_label = {margin, y + label_offset, m.label_width, m.line_height};
  l.number = {field_x, y, number_width, field_height};
  l.unit = {l.number.right() + gap, y, unit_width, field_height};
  y += field_height + row_gap;
  l.run_min = {margin, y, width - 2 * margin, check_height};
  y += check_height + row_gap;
  l.run_start = {margin, y, width - 2 * margin, check_height};
  y += check_height + row_gap;
  if (problem_shown) {
    l.problem = {margin, y, width - 2 * margin, problem_height};
    y += problem_height + row_gap;
  } else {
    l.problem = {margin, y, width - 2 * margin, 0};
  }
  l.report = {margin, y, width - 2 * margin, height - margin - y};
  return l;
}

void InitialClientSize(const ClientLayoutMetrics& m, int* width, int* height) {
  const ClientLayout l = LayOutClient(m, 0, 0, false);
  *width = std::max(ScaleToDpi(440, m.dpi), l.min_width);
  *height = std::max(ScaleToDpi(300, m.dpi), l.min_height);
}

}  // namespace mdl::win32
