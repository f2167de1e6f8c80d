// Runs of the Process button through the window: what the window does while the stages run and
// after, and the command-line start.
#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <string_view>

#include "core/stage_error.h"
#include "tests/app/app_test_support.h"

namespace vantrel::testing {
namespace {

// Long enough for any event to arrive through the pump, short enough to fail fast.
constexpr qint64 kPumpDeadlineMs = 5000;
constexpr int kBatchStartTimeoutMs = 5000;

// The main window with a hook where the driver announces each stage, so a test can act from
// inside a run, and a count of the log lines appended.
class ProbeForm : public TForm1 {
 public:
  using TForm1::TForm1;

  std::function<void(std::string_view)> at_stage;
  int lines_appended = 0;

  void StageStarting(std::string_view name) override {
    TForm1::StageStarting(name);
    if (at_stage) at_stage(name);
  }
  void AppendLog(const std::string& line) override {
    ++lines_appended;
    TForm1::AppendLog(line);
  }
};

// Calls the event pump the way a stage's record loop does until `done` is set; false when it
// did not happen in time.
bool PumpUntil(TForm1& form, const bool& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done) {
    form.ProcessEvents();
    if (clock.hasExpired(kPumpDeadlineMs)) return false;
  }
  return true;
}

QPushButton* ProcessButton(TForm1& form) {
  return Control<QPushButton>(&form, "ASMButton");
}

}  // namespace

class RunTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

  void WindowStaysLiveDuringARun() {
    WorkingFolder folder;
    auto made = std::make_unique<ProbeForm>();
    ProbeForm& form = *made;
    Forms forms(std::move(made));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    Control<QLineEdit>(&form, "AsmIn1Edit")->setText(folder.Path() + "/MetopB_none.bin");
    auto* memo = Control<QPlainTextEdit>(&form, "Memo1");

    bool fired = false;
    bool pumped = false;
    bool process_enabled_during_run = true;
    QStringList log_before_clear;
    bool cleared = false;
    form.at_stage = [&](std::string_view name) {
      if (name != "CVCDU") return;
      // Events that arrive while the second stage runs: the user double-clicks the log and
      // unticks "Delete intermediate files" in the Debug dialog.
      QTimer::singleShot(0, &form, [&] {
        process_enabled_during_run = ProcessButton(form)->isEnabled();
        log_before_clear = LogLines(form);
        QTest::mouseDClick(memo->viewport(), Qt::LeftButton);
        cleared = memo->toPlainText().isEmpty();
        form.lines_appended = 0;
        Control<QAction>(&form, "DebugInfo1")->trigger();
        QTest::mouseClick(Control<QCheckBox>(forms.DebugInfo, "DFiles"), Qt::LeftButton);
        QTest::mouseClick(Control<QPushButton>(forms.DebugInfo, "ButtonOK"), Qt::LeftButton);
        fired = true;
      });
      pumped = PumpUntil(form, fired);
    };

    QTest::mouseClick(ProcessButton(form), Qt::LeftButton);
    QVERIFY(pumped);
    QVERIFY(!process_enabled_during_run);
    QVERIFY(ProcessButton(form)->isEnabled());
    QVERIFY(form.LastOutcome().recognised && !form.LastOutcome().failed);
    // The first stage had logged; the clear took it away and later lines went to the empty log.
    QVERIFY(!log_before_clear.isEmpty());
    QVERIFY(cleared);
    QVERIFY(form.lines_appended > 0);
    QCOMPARE(LogLines(form).size(), form.lines_appended);
    // The driver read the option after the change: the working files were kept.
    QVERIFY(!form.DFiles());
    QVERIFY(!LogLines(form).contains("Delete intermediate files...  OK!"));
  }

  void StageErrorIsLoggedShownAndProcessEnabledAgain() {
    WorkingFolder folder;
    auto made = std::make_unique<ProbeForm>();
    ProbeForm& form = *made;
    Forms forms(std::move(made));
    Control<QLineEdit>(&form, "AsmIn1Edit")->setText(folder.Path() + "/MetopA_none.bin");
    const std::string message = "VCID_Metop: '' is not a valid integer value";
    form.at_stage = [&](std::string_view name) {
      if (name == "VCDU selection") throw StageError(message);
    };

    QTest::mouseClick(ProcessButton(form), Qt::LeftButton);
    QVERIFY(form.LastOutcome().failed);
    QVERIFY(ProcessButton(form)->isEnabled());
    QVERIFY(LogLines(form).contains(QString::fromStdString(message)));
    // The run ended at the error: no deletion step.
    QVERIFY(!LogLines(form).contains("Delete intermediate files...  OK!"));
    const QList<QMessageBox*> messages = OpenMessages(&form);
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0]->text(), QString::fromStdString(message));
    messages[0]->close();

    // The next click runs again.
    form.at_stage = nullptr;
    QTest::mouseClick(ProcessButton(form), Qt::LeftButton);
    QVERIFY(!form.LastOutcome().failed);
    QVERIFY(LogLines(form).contains("Delete intermediate files...  OK!"));
  }

  void BatchModeAppliesTheSwitchesAndRunsWithoutProductStaysOpen() {
    WorkingFolder folder;
    Forms forms({"MetopB_none.bin", "DR_y", "RS_n", "MN_y", "MET_n"});
    TForm1& form = *forms.Form1;
    form.show();
    auto* timer = Control<QTimer>(&form, "TimerCommLine");
    QCOMPARE(Control<QLineEdit>(&form, "AsmIn1Edit")->text(), folder.Path() + "/MetopB_none.bin");
    QVERIFY(timer->isActive());
    // The switches wait for the timer.
    QVERIFY(!form.PNdecoding() && form.RSolomon() && !form.Manchester_box() && !form.APID104());

    QTRY_VERIFY_WITH_TIMEOUT(form.Chain().BatchMode, kBatchStartTimeoutMs);
    QVERIFY(!timer->isActive());
    QVERIFY(form.PNdecoding());
    QVERIFY(!form.RSolomon());
    QVERIFY(form.Manchester_box());
    QVERIFY(form.APID104());
    QVERIFY(form.LastOutcome().recognised);
    QVERIFY(LogLines(form).contains("Delete intermediate files...  OK!"));
    // Nothing was written, so the program stays open.
    QVERIFY(!form.LastOutcome().close_program);
    QVERIFY(form.isVisible());
  }

  void BatchSwitchesAreExactAndCaseSensitive() {
    WorkingFolder folder;
    Forms forms({"MetopB_none.bin", "dr_y", "RS_N", "mn_y", "MET_y"});
    TForm1& form = *forms.Form1;
    QTRY_VERIFY_WITH_TIMEOUT(form.Chain().BatchMode, kBatchStartTimeoutMs);
    QVERIFY(!form.PNdecoding());
    QVERIFY(form.RSolomon());
    QVERIFY(!form.Manchester_box());
    QVERIFY(!form.APID104());
  }

  void BatchModeTakesAnAbsolutePathAsItIs() {
    WorkingFolder folder;
    const QString path = folder.Path() + "/passes/FY3C_2020-01-01_none.bin";
    Forms forms({path, "DR_n"});
    QCOMPARE(Control<QLineEdit>(forms.Form1.get(), "AsmIn1Edit")->text(), path);
  }

  void BatchModeWithAnUnknownNameStaysOpen() {
    WorkingFolder folder;
    Forms forms({"cadu.bin"});
    TForm1& form = *forms.Form1;
    form.show();
    QTRY_VERIFY_WITH_TIMEOUT(form.Chain().BatchMode, kBatchStartTimeoutMs);
    QCOMPARE(LogLines(form), QStringList({"This is not Metopx_ or FY3x_ or MN2_ files !"}));
    QVERIFY(form.isVisible());
    QVERIFY(ProcessButton(form)->isEnabled());
  }

  void WithoutAFileNameTheProgramIsInteractive() {
    Forms forms({"", "DR_y"});
    QVERIFY(!Control<QTimer>(forms.Form1.get(), "TimerCommLine")->isActive());
    QCOMPARE(Control<QLineEdit>(forms.Form1.get(), "AsmIn1Edit")->text(),
             QString("D:\\RAW\\cadu.bin"));
  }
};

}  // namespace vantrel::testing

QTEST_MAIN(vantrel::testing::RunTest)
#include "run_test.moc"
