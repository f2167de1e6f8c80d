#include "app/settings_dialog.h"

#include "app/form_look.h"

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
  show();
  raise();
  activateWindow();
}

}  // namespace vantrel
