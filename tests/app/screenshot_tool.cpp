// Writes pictures of the main window after processing a recording (at its first size and made
// larger, the quicklook of the product beside the log) and of each settings dialog, for the
// documentation: app_screenshots RECORDING OUTPUT_FOLDER. Run it on a real display
// server (Xvfb will do) so that fonts render as users see them.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "app/forms.h"

namespace {

// The window made larger, as on a station's screen.
const QSize kLargeWindow(1180, 720);

bool Save(QWidget& widget, const QDir& folder, const QString& name) {
  widget.show();
  widget.raise();
  QApplication::processEvents();
  const QString path = folder.filePath(name);
  if (!widget.grab().save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(vantrel::kApplicationTitle);
  const QStringList arguments = QApplication::arguments();
  if (arguments.size() != 3) {
    std::fprintf(stderr, "usage: app_screenshots RECORDING OUTPUT_FOLDER\n");
    return 2;
  }
  const QString recording = QFileInfo(arguments[1]).absoluteFilePath();
  const QDir output(QFileInfo(arguments[2]).absoluteFilePath());
  // The recording is processed in a scratch RAW folder, where the working files and the product
  // go too.
  QTemporaryDir scratch(QDir::tempPath() + "/vantrel-XXXXXX");
  const QString folder = scratch.filePath("RAW");
  const QString input = folder + '/' + QFileInfo(recording).fileName();
  if (!QDir().mkpath(folder) || !QFile::copy(recording, input)) {
    std::fprintf(stderr, "cannot copy %s into %s\n", qPrintable(recording), qPrintable(folder));
    return 1;
  }
  QDir::setCurrent(folder);

  vantrel::Forms forms;
  vantrel::TForm1& form = *forms.Form1;
  form.show();
  QApplication::processEvents();
  form.findChild<QLineEdit*>("AsmIn1Edit")->setText(input);
  form.SetPNdecoding(true);
  form.SetRSolomon(true);
  // A baseband recording: the window is also pictured while it demodulates, once the signal
  // panel shows and the bar has gone a third of the way.
  bool demodulating_saved = false;
  QTimer during;
  during.setInterval(100);
  QObject::connect(&during, &QTimer::timeout, [&] {
    const auto* bar = form.findChild<QProgressBar*>("ProgressBar1");
    if (demodulating_saved || form.SignalOfRun().isHidden() || bar == nullptr ||
        !bar->format().startsWith("Demodulation") || bar->value() * 3 < bar->maximum())
      return;
    demodulating_saved = Save(form, output, "main-window-demodulating.png");
  });
  during.start();
  form.ASMButtonClick();
  during.stop();
  form.Timer1Timer();

  bool ok = Save(form, output, "main-window.png");
  form.resize(kLargeWindow);
  ok = Save(form, output, "main-window-large.png") && ok;
  ok = Save(*forms.Metop_settings, output, "metop-settings.png") && ok;
  ok = Save(*forms.FY3x_settings, output, "fy3-settings.png") && ok;
  ok = Save(*forms.Meteor_settings, output, "meteor-settings.png") && ok;
  ok = Save(*forms.DebugInfo, output, "debug-info.png") && ok;
  return ok ? 0 : 1;
}
