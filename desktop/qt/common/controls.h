// Setting a Qt control to what a view model says, only when it differs and
// without the control reporting the change as the user's.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QString>
#include <string>

namespace mdl::ui {

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

inline void SetChecked(QCheckBox* box, bool on) {
  if (box->isChecked() == on) return;
  QSignalBlocker block(box);
  box->setChecked(on);
}

inline void SetText(QLineEdit* edit, const QString& text) {
  if (edit->text() == text) return;
  QSignalBlocker block(edit);
  edit->setText(text);
}

inline void SetLabel(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

inline void SetToolTip(QWidget* widget, const QString& tip) {
  if (widget->toolTip() != tip) widget->setToolTip(tip);
}

inline void SetEnabled(QWidget* widget, bool on) {
  if (widget->isEnabled() != on) widget->setEnabled(on);
}

// The label below a "Run ... Starts" box that tells why the autostart entry could not change.
inline QLabel* NewAutostartProblemLabel() {
  auto* label = new QLabel;
  label->setObjectName("autostartProblem");
  label->setWordWrap(true);
  label->hide();
  return label;
}

// Shows `problem` in such a label; an empty one hides it (isHidden: its window may not be shown yet).
inline void ShowAutostartProblem(QLabel* label, const std::string& problem) {
  SetLabel(label, Q(problem));
  if (label->isHidden() != problem.empty()) label->setVisible(!problem.empty());
}

}  // namespace mdl::ui
