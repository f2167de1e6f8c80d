#include <QApplication>

#include "app/forms.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(vantrel::kApplicationTitle);
  vantrel::Forms forms(QApplication::arguments().mid(1));
  forms.Form1->show();
  return QApplication::exec();
}
