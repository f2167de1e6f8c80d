#pragma once

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include "app/forms.h"

namespace vantrel::testing {

// A fresh folder that is the current (working) folder while the object lives.
class WorkingFolder {
 public:
  WorkingFolder() : previous_(QDir::currentPath()) {
    QDir::setCurrent(folder_.path());
    path_ = QDir::currentPath();
  }
  ~WorkingFolder() { QDir::setCurrent(previous_); }
  WorkingFolder(const WorkingFolder&) = delete;
  WorkingFolder& operator=(const WorkingFolder&) = delete;

  // The folder as the program sees it (symbolic links resolved, as QDir::currentPath gives it).
  QString Path() const { return path_; }

 private:
  QString previous_;
  QTemporaryDir folder_;
  QString path_;
};

// A control of `parent` by its object name; fails the test when there is none.
template <typename Widget>
Widget* Control(QObject* parent, const char* name) {
  auto* found = parent->findChild<Widget*>(name);
  if (found == nullptr) qWarning("no control named %s", name);
  return found;
}

// The lines of the log.
inline QStringList LogLines(TForm1& form) {
  const QString text = Control<QPlainTextEdit>(&form, "Memo1")->toPlainText();
  return text.isEmpty() ? QStringList() : text.split('\n');
}

// The message boxes open over `parent`.
inline QList<QMessageBox*> OpenMessages(QWidget* parent) {
  QList<QMessageBox*> open;
  for (QMessageBox* box : parent->findChildren<QMessageBox*>()) {
    if (box->isVisible()) open << box;
  }
  return open;
}

}  // namespace vantrel::testing
