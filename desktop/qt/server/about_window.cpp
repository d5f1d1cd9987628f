// The About/Help window.
#include "desktop/qt/server/about_window.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/qt/server/images.h"
#include "desktop/qt/server/window_texts.h"

namespace mdl::ui {

AboutWindow::AboutWindow(const QString& version, QWidget* parent) : QDialog(parent) {
  setObjectName("frmAbout");
  setWindowTitle("About Meridel Server");
  auto* layout = new QVBoxLayout(this);
  auto* head = new QHBoxLayout;
  auto* picture = new QLabel;
  picture->setPixmap(ImagePixmap(kImageServer, 48, 2.0));
  auto* title =
      new QLabel("<b>" + QString::fromLatin1(kProductLine) + "</b><br>Version " + version.toHtmlEscaped());
  title->setObjectName("aboutVersion");
  head->addWidget(picture);
  head->addWidget(title, 1);
  layout->addLayout(head);
  auto* text = new QLabel(
      "A network time server. It takes its time from an atomic time server with one SNTP "
      "exchange and answers Time (37), Daytime (13), NTP/SNTP (123), UnixTime (519) and the "
      "Meridel client protocol (3777), over TCP and UDP.<br><br>"
      "Choose a service in the tree to switch it and its transports on or off and to change its port "
      "(press Enter to register the change). Double-click <i>Server Synchronization</i> to synchronize "
      "at once. Minimised, the server runs from the tray icon: a click shows the window again, the "
      "right button offers Show and Exit.<br><br>"
      "Settings are kept in <tt>registry.reg</tt> and request logs in <tt>Logs/</tt> of the program folder.");
  text->setWordWrap(true);
  text->setMinimumWidth(text->fontMetrics().horizontalAdvance("M") * 40);
  layout->addWidget(text);
  auto* close = new QPushButton("Close");
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(close);
  layout->addLayout(row);
}

}  // namespace mdl::ui
