#include "app/settings_dialog.h"

#include "app/form_look.h"

#include <QHideEvent>

namespace vantrel {

SettingsDialog::SettingsDialog(QWidget* parent, const Frame& frame)
    : QDialog(parent), group_(frame.group_title, this) {
  setObjectName(frame.object_name);
  setWindowTitle(frame.caption);
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (frame.minimise_box) flags |= Qt::WindowMinimizeButtonHint;
  setWindowFlags(flags);
  setModal(false);
  setFixedSize(frame.size);
  ApplySkyBlue(this);
  group_.setGeometry(frame.group_geometry);
}

void SettingsDialog::SetUpButton(QPushButton& button, const char* name, const char* caption, int x,
                                 int y) {
  button.setObjectName(name);
  button.setText(caption);
  button.setGeometry(x, y, kButtonWidth, kButtonHeight);
}

void SettingsDialog::ShowOrRaise() {
  // Without an explicit position the toolkit centres a dialog over its parent at every show.
  if (!isVisible() && last_position_) move(*last_position_);
  show();
  raise();
  activateWindow();
}

void SettingsDialog::hideEvent(QHideEvent* event) {
  // Hidden by its buttons or its close box: remember where the user left it.
  if (!event->spontaneous()) last_position_ = pos();
  QDialog::hideEvent(event);
}

}  // namespace vantrel
