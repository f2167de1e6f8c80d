#pragma once

#include <QStringList>
#include <memory>

#include "app/asm_search.h"
#include "app/debuginfo_form.h"
#include "app/fy3x_settings_form.h"
#include "app/meteor_settings_form.h"
#include "app/metop_settings_form.h"

namespace vantrel {

// The program's windows, created in the order the program starts them: the main window, then
// the MetOp, FY-3, Debug and Meteor dialogs, hidden. The dialogs belong to the main window and
// live as long as it does.
struct Forms {
  explicit Forms(const QStringList& parameters = {});
  // With a main window made by the caller (a test's probe, for instance).
  explicit Forms(std::unique_ptr<TForm1> main_window);

  std::unique_ptr<TForm1> Form1;
  TMetop_settings* Metop_settings;
  TFY3x_settings* FY3x_settings;
  TDebugInfo* DebugInfo;
  TMeteor_settings* Meteor_settings;
};

}  // namespace vantrel
