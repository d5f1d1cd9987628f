// Where the client window's controls go for a client area, a DPI and the
// measured texts: the Qt window's grid (labels, host, number and unit, the
// two check boxes, the autostart problem line, the report box taking the
// rest), in pixels. Pure, so the window only measures and moves.
#pragma once

namespace mdl::win32 {

struct LayoutRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int right() const { return x + width; }
  int bottom() const { return y + height; }
};

// Sizes measured with the window's font at its DPI, in pixels.
struct ClientLayoutMetrics {
  int dpi = 96;
  int line_height = 13;   // the font's line spacing
  int field_height = 0;   // a closed drop-down list's height; 0: from the line height
  int label_width = 0;    // the wider of the two row labels
  int number_width = 0;   // ten digits
  int unit_width = 0;     // the widest unit text
  int check_width = 0;    // the wider check box text
  int report_width = 0;   // the longest report line a drift can give
  int problem_lines = 2;  // lines of the autostart problem text, when shown
};

struct ClientLayout {
  LayoutRect host_label, host, every_label, number, unit, run_min, run_start, problem, report;
  // The smallest client area that shows every control unclipped.
  int min_width = 0;
  int min_height = 0;
};

// Scales a length given at 96 DPI.
inline int ScaleToDpi(int length, int dpi) { return (length * dpi + 48) / 96; }

// The controls for a client area of width x height; a client area below the
// minimum is laid out at the minimum. The problem line takes room only when shown.
ClientLayout LayOutClient(const ClientLayoutMetrics& m, int width, int height, bool problem_shown);

// The client area the window opens with (the Qt window's 440 x 300 at 96 DPI,
// grown to the minimum).
void InitialClientSize(const ClientLayoutMetrics& m, int* width, int* height);

}  // namespace mdl::win32
