// The main window's image list: pictures by the numbers the server list and
// the window use. 1 the server, 2 an entry without a flag, 33 and 34 the
// dark and lit activity indicator, 35 a service; 40 to 70 the flags of the
// shipped server list.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace mdl::ui {

inline constexpr int kImageServer = 1;
inline constexpr int kImageNoFlag = 2;
inline constexpr int kImageLedOff = 33;
inline constexpr int kImageLedOn = 34;
inline constexpr int kImageService = 35;

// The country code of a flag image ("us"), empty for other numbers.
QString FlagCountry(int number);

// The picture of an image number; numbers without one give image 2.
QIcon ImageIcon(int number);
// The picture at `logical_size` pixels (drawn for the screen's scale).
QPixmap ImagePixmap(int number, int logical_size = 16, qreal scale = 2.0);

}  // namespace mdl::ui
