// The About/Help window: product, version and where things are.
#pragma once

#include <QDialog>

namespace mdl::ui {

class AboutWindow : public QDialog {
 public:
  AboutWindow(const QString& version, QWidget* parent);
};

}  // namespace mdl::ui
