#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app/form_look.h"
#include "app/forms.h"

namespace {

// Reports an error that escapes an event handler in a message box; the program goes on.
class VantrelApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
      vantrel::ShowMessage(nullptr, vantrel::kApplicationTitle, error.what());
    }
    return false;
  }
};

bool Unset(const char* variable) {
  const char* value = std::getenv(variable);
  return value == nullptr || *value == '\0';
}

// A batch start (a file name as first parameter) on a machine without a display runs on the
// offscreen platform instead of failing to find one: a script can process without a desktop.
void RunOffscreenWithoutDisplay(int argc, char** argv) {
  const bool batch = argc > 1 && std::strlen(argv[1]) > 0;
  if (batch && Unset("QT_QPA_PLATFORM") && Unset("DISPLAY") && Unset("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// Platforms that show nothing to anybody.
bool NobodyCanLook() {
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

}  // namespace

int main(int argc, char** argv) {
  RunOffscreenWithoutDisplay(argc, argv);
  VantrelApplication application(argc, argv);
  QApplication::setApplicationName(vantrel::kApplicationTitle);
  vantrel::Forms forms(QApplication::arguments().mid(1));
  forms.Form1->SetUnattended(NobodyCanLook());
  forms.Form1->show();
  return QApplication::exec();
}
