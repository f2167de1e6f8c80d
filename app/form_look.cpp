#include "app/form_look.h"

#include <QFont>

#include <QMessageBox>
#include <QPalette>
#include <QWidget>
#include <memory>

namespace vantrel {
namespace {

constexpr int kSkyBlueRed = 0xA6;
constexpr int kSkyBlueGreen = 0xCA;
constexpr int kSkyBlueBlue = 0xF0;

}  // namespace

QColor SkyBlue() {
  return QColor(kSkyBlueRed, kSkyBlueGreen, kSkyBlueBlue);
}

void ApplySkyBlue(QWidget* widget) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, SkyBlue());
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

QMessageBox* ShowMessage(QWidget* parent, const QString& title, const QString& text) {
  auto box =
      std::make_unique<QMessageBox>(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
  box->setObjectName("MessageBox");
  // From here on Qt owns the box: it deletes itself when it is closed.
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
  return box.release();
}

DigitsValidator::DigitsValidator(int minimum, int maximum, QObject* parent)
    : QValidator(parent), minimum_(minimum), maximum_(maximum) {}

QValidator::State DigitsValidator::validate(QString& input, int& /*position*/) const {
  if (input.isEmpty()) return Intermediate;
  for (const QChar c : input) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return Invalid;
  }
  // Appending digits only makes the value larger, so a value above the maximum cannot be mended.
  bool ok = false;
  const qlonglong value = input.toLongLong(&ok);
  if (!ok || value > maximum_) return Invalid;
  return value < minimum_ ? Intermediate : Acceptable;
}

ChoiceValidator::ChoiceValidator(const QList<int>& choices, QObject* parent) : QValidator(parent) {
  for (int choice : choices) choices_ << QString::number(choice);
}

QValidator::State ChoiceValidator::validate(QString& input, int& /*position*/) const {
  if (input.isEmpty()) return Intermediate;
  if (choices_.contains(input)) return Acceptable;
  for (const QString& choice : choices_) {
    if (choice.startsWith(input)) return Intermediate;
  }
  return Invalid;
}

void MakeBold(QWidget& widget) {
  QFont font = widget.font();
  font.setBold(true);
  widget.setFont(font);
}

}  // namespace vantrel
