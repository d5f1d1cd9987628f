// The main window's image list: pictures by the numbers the server list and
// the window use (desktop/model/image_numbers.h), drawn here or, for the
// flags, from the program's resources.
#pragma once

#include <QIcon>
#include <QPixmap>

#include "desktop/model/image_numbers.h"

namespace mdl::ui {

// The picture of an image number; numbers without one give image 2.
QIcon ImageIcon(int number);
// The picture at `logical_size` pixels (drawn for the screen's scale).
QPixmap ImagePixmap(int number, int logical_size = 16, qreal scale = 2.0);

}  // namespace mdl::ui
