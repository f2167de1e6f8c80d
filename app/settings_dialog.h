#pragma once

#include <QDialog>
#include <QGroupBox>
#include <QPoint>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QString>
#include <optional>

namespace vantrel {

// What the four settings dialogs share: a fixed size, the sky-blue look, one group box holding
// the settings and the buttons below it. A dialog is shown modeless and only hidden by its
// buttons, so its controls keep their values for the program's whole life.
class SettingsDialog : public QDialog {
  Q_OBJECT

 public:
  struct Frame {
    const char* object_name;
    QString caption;
    QSize size;
    QString group_title;
    QRect group_geometry;
    bool minimise_box;
  };

  // Shows the dialog, or brings it forward when it is visible already. A dialog shown again
  // comes back where it was when it was hidden, wherever the user had moved it.
  void ShowOrRaise();

 protected:
  SettingsDialog(QWidget* parent, const Frame& frame);
  QGroupBox* Group() { return &group_; }
  // Names, captions and places one of the buttons below the group box.
  static void SetUpButton(QPushButton& button, const char* name, const char* caption, int x, int y);

  void hideEvent(QHideEvent* event) override;

 private:
  QGroupBox group_;
  // Where the dialog was when it was last hidden; none before it was first shown.
  std::optional<QPoint> last_position_;
};

// Geometry shared by the dialogs' buttons.
inline constexpr int kButtonWidth = 75;
inline constexpr int kButtonHeight = 25;

}  // namespace vantrel
