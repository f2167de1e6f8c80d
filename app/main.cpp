#include <QApplication>
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

}  // namespace

int main(int argc, char** argv) {
  VantrelApplication application(argc, argv);
  QApplication::setApplicationName(vantrel::kApplicationTitle);
  vantrel::Forms forms(QApplication::arguments().mid(1));
  forms.Form1->show();
  return QApplication::exec();
}
