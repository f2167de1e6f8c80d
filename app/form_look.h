#pragma once

#include <QColor>
#include <QList>
#include <QString>
#include <QStringList>
#include <QValidator>

class QWidget;
class QMessageBox;

namespace vantrel {

// The background every window of the program shares (sky blue, 0x00F0CAA6 as a Windows value).
QColor SkyBlue();

// Paints `widget`'s background sky blue.
void ApplySkyBlue(QWidget* widget);

// Sets `widget`'s font bold.
void MakeBold(QWidget& widget);

// Shows a message box over `parent` without blocking the caller: processing and the tests go on
// while it is open. The box deletes itself when closed.
QMessageBox* ShowMessage(QWidget* parent, const QString& title, const QString& text);

// Settings fields that take a whole number: digits only, at most `max_digits` of them, and the
// value within [minimum, maximum]. Keystrokes that can never give such a value are refused; a
// value below the minimum (or an empty field) is let through while typing but is not acceptable.
class DigitsValidator : public QValidator {
 public:
  DigitsValidator(int minimum, int maximum, QObject* parent);
  State validate(QString& input, int& position) const override;

 private:
  int minimum_;
  int maximum_;
};

// Settings fields that take one of a few whole numbers: a keystroke is accepted only when the
// text stays the beginning of one of them; an empty field is let through while typing but is not
// acceptable.
class ChoiceValidator : public QValidator {
 public:
  ChoiceValidator(const QList<int>& choices, QObject* parent);
  State validate(QString& input, int& position) const override;

 private:
  QStringList choices_;
};

}  // namespace vantrel
