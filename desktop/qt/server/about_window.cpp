// The About/Help window.
#include "desktop/qt/server/about_window.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/model/window_texts.h"
#include "desktop/qt/server/images.h"

namespace mdl::ui {

AboutWindow::AboutWindow(const QString& version, QWidget* parent) : QDialog(parent) {
  setObjectName("frmAbout");
  setWindowTitle(desktop::server_text::kAboutCaption);
  auto* layout = new QVBoxLayout(this);
  auto* head = new QHBoxLayout;
  auto* picture = new QLabel;
  picture->setPixmap(ImagePixmap(desktop::kImageServer, 48, 2.0));
  // The heading's first line (the product) in bold.
  const QStringList heading =
      QString::fromStdString(desktop::AboutHeading(version.toStdString())).split('\n');
  auto* title =
      new QLabel("<b>" + heading.value(0).toHtmlEscaped() + "</b><br>" + heading.value(1).toHtmlEscaped());
  title->setObjectName("aboutVersion");
  head->addWidget(picture);
  head->addWidget(title, 1);
  layout->addLayout(head);
  QStringList paragraphs;
  for (const std::vector<desktop::TextSpan>& spans : desktop::AboutParagraphSpans()) {
    QString html;
    for (const desktop::TextSpan& span : spans) {
      const QString text = QString::fromStdString(span.text).toHtmlEscaped();
      switch (span.style) {
        case desktop::TextStyle::kPlain:
          html += text;
          break;
        case desktop::TextStyle::kEmphasis:
          html += "<i>" + text + "</i>";
          break;
        case desktop::TextStyle::kFileName:
          html += "<tt>" + text + "</tt>";
          break;
      }
    }
    paragraphs << html;
  }
  auto* text = new QLabel(paragraphs.join("<br><br>"));
  text->setWordWrap(true);
  text->setMinimumWidth(text->fontMetrics().horizontalAdvance("M") * 40);
  layout->addWidget(text);
  auto* close = new QPushButton(desktop::server_text::kAboutClose);
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(close);
  layout->addLayout(row);
}

}  // namespace mdl::ui
