#include "app/forms.h"

#include <utility>

namespace vantrel {
namespace {

// A dialog owned by the main window (Qt deletes it with its parent).
template <typename Dialog>
Dialog* CreateDialog(TForm1& owner) {
  auto dialog = std::make_unique<Dialog>(&owner);
  dialog->hide();
  return dialog.release();
}

}  // namespace

Forms::Forms(const QStringList& parameters) : Forms(std::make_unique<TForm1>(parameters)) {}

Forms::Forms(std::unique_ptr<TForm1> main_window)
    : Form1(std::move(main_window)),
      Metop_settings(CreateDialog<TMetop_settings>(*Form1)),
      FY3x_settings(CreateDialog<TFY3x_settings>(*Form1)),
      DebugInfo(CreateDialog<TDebugInfo>(*Form1)),
      Meteor_settings(CreateDialog<TMeteor_settings>(*Form1)) {
  Form1->AttachDialogs({Metop_settings, FY3x_settings, DebugInfo, Meteor_settings});
}

}  // namespace vantrel
