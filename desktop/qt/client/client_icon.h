// The desktop client's picture (window and tray icon), drawn here.
#pragma once

#include <QIcon>

namespace mdl::ui {

// A clock face with a blue rim and an arrow round it.
QIcon ClientIcon();

}  // namespace mdl::ui
