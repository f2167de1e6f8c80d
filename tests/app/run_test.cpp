// Runs of the Process button through the window: what the window does while the stages run and
// after, and the command-line start.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

#include "core/stage_error.h"
#include "sim/simulator.h"
#include "sim/test_pattern.h"
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

// A small simulated MetOp-B pass, randomised and Reed-Solomon encoded, written into the current
// folder under the name a station gives it.
constexpr uint64_t kPassSeed = 20240607;
constexpr int kPassPackets = 6;
constexpr qint64 kHrptFrameSize = 13864;
const char* const kPassName = "MetopB_20181231_101530.bin";
const char* const kProductName = "MetopB_20181231_1015_M03.hpt";

void WriteMetopPass() {
  qInfo("simulated MetOp-B pass, seed %llu", static_cast<unsigned long long>(kPassSeed));
  sim::MetopOptions options;
  options.satellite = 'B';
  options.packets = kPassPackets;
  const sim::MetopPass pass = sim::MakeMetopPass(options, {}, {}, kPassSeed);
  QFile file(kPassName);
  QVERIFY(file.open(QIODevice::WriteOnly));
  const auto size = static_cast<qint64>(pass.recording.bytes.size());
  QCOMPARE(file.write(reinterpret_cast<const char*>(pass.recording.bytes.data()), size), size);
}

qint64 ProductSize() {
  return QFileInfo(kProductName).exists() ? QFileInfo(kProductName).size() : -1;
}

// The line number the test pattern's bar shows in row `row` of a quicklook: a set bit is bright,
// or dark in an infrared channel.
int BarValue(const QImage& image, int row, bool infrared) {
  int value = 0;
  const uchar* line = image.constScanLine(row);
  for (int x = 0; x < sim::kPatternBarColumns; x += sim::kPatternBarCellColumns)
    value = (value << 1) | ((line[x] > 128) != infrared ? 1 : 0);
  return value;
}

// The breaks between the ramps of the pattern in row `row` (grid columns skipped): one fewer
// than the channel's number.
int RampBreaks(const QImage& image, int row) {
  const uchar* line = image.constScanLine(row);
  int breaks = 0;
  int previous = line[sim::kPatternBarColumns];
  for (int x = sim::kPatternBarColumns + 1; x < image.width(); ++x) {
    if (x % sim::kPatternGridColumns == sim::kPatternGridColumns - 1) continue;
    if (std::abs(line[x] - previous) > 100) ++breaks;
    previous = line[x];
  }
  return breaks;
}

// Types `text` into a line edit in place of what it holds, as a user does.
void Retype(QLineEdit* edit, const QString& text) {
  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Backspace);
  QTest::keyClicks(edit, text);
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
    WriteMetopPass();
    Control<QLineEdit>(&form, "AsmIn1Edit")->setText(folder.Path() + '/' + kPassName);
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
    WriteMetopPass();
    Control<QLineEdit>(&form, "AsmIn1Edit")->setText(folder.Path() + '/' + kPassName);
    Control<QCheckBox>(&form, "PNdecoding")->setChecked(true);
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

    QTRY_VERIFY_WITH_TIMEOUT(form.KeptChain().BatchMode, kBatchStartTimeoutMs);
    QVERIFY(!timer->isActive());
    QVERIFY(form.PNdecoding());
    QVERIFY(!form.RSolomon());
    QVERIFY(form.Manchester_box());
    QVERIFY(form.APID104());
    QVERIFY(form.LastOutcome().recognised);
    // The recording is missing: the run ends at the first stage, with no deletion step.
    QVERIFY(form.LastOutcome().failed);
    QVERIFY(LogLines(form).contains("Open input file failed!"));
    QVERIFY(!LogLines(form).contains("Delete intermediate files...  OK!"));
    // Nothing was written, so the program stays open.
    QVERIFY(!form.LastOutcome().close_program);
    QVERIFY(form.isVisible());
  }

  void BatchModeWritesTheProductAndEnds() {
    WorkingFolder folder;
    WriteMetopPass();
    Forms forms({kPassName, "DR_y", "RS_y"});
    TForm1& form = *forms.Form1;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), kBatchStartTimeoutMs);
    QVERIFY(form.LastOutcome().close_program);
    QCOMPARE(ProductSize(), kPassPackets * kHrptFrameSize);
    // "Delete intermediate files" is on by default.
    for (const char* working : {"cadu.pds", "cvcdu.rs", "vcdu_x.vcd", "mpdu_x.mpd", "APID.pkt"}) {
      QVERIFY2(!QFileInfo::exists(working), working);
    }
  }

  // The box's run on a recording its recorder is still writing: the quicklook shows lines before
  // the recording is whole, and the product is the whole file's.
  void FollowBoxRunsOnAGrowingRecordingAsOnTheWholeFile() {
    WorkingFolder folder;
    constexpr int kPackets = 90;
    sim::MetopOptions options;
    options.satellite = 'B';
    options.packets = kPackets;
    const std::vector<uint8_t> bytes =
        sim::MakeMetopPass(options, {}, {}, kPassSeed).recording.bytes;
    const auto write = [](const QString& name, const uint8_t* data, size_t size,
                          QIODevice::OpenMode mode) {
      QFile file(name);
      return file.open(mode) && file.write(reinterpret_cast<const char*>(data),
                                           static_cast<qint64>(size)) == static_cast<qint64>(size);
    };
    Forms forms;
    TForm1& form = *forms.Form1;
    auto* path = Control<QLineEdit>(&form, "AsmIn1Edit");
    auto* follow = Control<QCheckBox>(&form, "FollowBox");
    QVERIFY(!form.FollowChoice());
    form.SetPNdecoding(true);

    // The whole file, read as it is.
    QVERIFY(write(kPassName, bytes.data(), bytes.size(), QIODevice::WriteOnly));
    path->setText(folder.Path() + '/' + kPassName);
    form.ASMButtonClick();
    QVERIFY(!form.LastOutcome().product.empty());
    QFile whole_product(kProductName);
    QVERIFY(whole_product.open(QIODevice::ReadOnly));
    const QByteArray whole = whole_product.readAll();
    whole_product.close();
    QCOMPARE(whole.size(), kPackets * kHrptFrameSize);
    QVERIFY(QFile::remove(kProductName) && QFile::remove(kPassName));

    // The same pass as its recorder writes it: a third, then (once the window shows lines of it)
    // the rest, and the rename that ends it.
    const QString part = QString(kPassName) + ".part";
    const size_t third = bytes.size() / 3;
    QVERIFY(write(part, bytes.data(), third, QIODevice::WriteOnly));
    std::mutex mutex;
    std::condition_variable shown;
    std::atomic<bool> lines_shown{false};
    bool shown_before_the_end = false;
    std::thread recorder([&] {
      {
        std::unique_lock lock(mutex);
        shown.wait_for(lock, std::chrono::seconds(30), [&] { return lines_shown.load(); });
        shown_before_the_end = lines_shown;
      }
      write(part, bytes.data() + third, bytes.size() - third, QIODevice::Append);
      QFile::rename(part, kPassName);
    });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (form.QuicklookOfRun().View().Image().height() == 0) return;
      {
        const std::lock_guard lock(mutex);
        lines_shown = true;
      }
      shown.notify_all();
    });
    watch.start(20);
    path->setText(folder.Path() + '/' + part);
    follow->setChecked(true);
    QVERIFY(form.FollowChoice());
    form.ASMButtonClick();
    watch.stop();
    recorder.join();

    QVERIFY(shown_before_the_end);
    QVERIFY(LogLines(form).filter("was renamed: the recorder finished it").size() == 1);
    QVERIFY(QString::fromStdString(form.LastOutcome().product).endsWith(kProductName));
    QFile followed(kProductName);
    QVERIFY(followed.open(QIODevice::ReadOnly));
    QVERIFY(followed.readAll() == whole);
    // The picture of the product replaces the growing one.
    QCOMPARE(form.QuicklookOfRun().Caption(),
             QString("%1\n%2 lines").arg(kProductName).arg(kPackets));
  }

  void BatchRunShowsTheQuicklookOfItsProduct() {
    WorkingFolder folder;
    // A small FY-3A pass: the VIRR's ten channels, channel 4 (infrared) shown first.
    constexpr int kLines = 40;
    const QString name = "FY3A_2010-05-12_052330.bin";
    sim::Fy3Options options;
    options.lines = kLines;
    const sim::Fy3Pass pass = sim::MakeFy3Pass(options, {}, {}, kPassSeed);
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    const auto size = static_cast<qint64>(pass.recording.bytes.size());
    QCOMPARE(file.write(reinterpret_cast<const char*>(pass.recording.bytes.data()), size), size);
    file.close();

    Forms forms({name, "DR_y"});
    TForm1& form = *forms.Form1;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), kBatchStartTimeoutMs);
    QVERIFY(form.LastOutcome().close_program);

    const QuicklookPanel& panel = form.QuicklookOfRun();
    QCOMPARE(panel.Caption(), QString("FY3A_2010-05-12_0523.C10\n40 lines"));
    QImage image = panel.View().Image();
    QCOMPARE(image.size(), QSize(2048, kLines));
    QCOMPARE(image.format(), QImage::Format_Grayscale8);
    auto* chooser = Control<QComboBox>(&form, "QuicklookChannel");
    QVERIFY(chooser->isEnabled());
    QCOMPARE(chooser->count(), 10);
    QCOMPARE(chooser->currentText(), QString("VIRR channel 4 (infrared)"));
    for (int row = 0; row < kLines; ++row) QCOMPARE(BarValue(image, row, true), row);
    QCOMPARE(RampBreaks(image, 0), 3);

    // The user picks channel 1: one ramp, a set bit bright.
    chooser->setFocus();
    QTest::keyClick(chooser, Qt::Key_Home);
    QCOMPARE(chooser->currentText(), QString("VIRR channel 1"));
    image = panel.View().Image();
    QCOMPARE(image.size(), QSize(2048, kLines));
    for (int row = 0; row < kLines; ++row) QCOMPARE(BarValue(image, row, false), row);
    QCOMPARE(RampBreaks(image, 0), 0);

    // Shown at its aspect inside the view.
    const QRect drawn = panel.View().ImageRect();
    QVERIFY(!drawn.isEmpty());
    QVERIFY(std::abs(drawn.width() * kLines - drawn.height() * 2048) <= 2048);

    // A new run clears it; this one has no product, so it stays empty.
    Control<QLineEdit>(&form, "AsmIn1Edit")->setText(folder.Path() + "/FY3A_2010-05-12_none.bin");
    form.ASMButtonClick();
    QVERIFY(panel.View().Image().isNull());
    QVERIFY(panel.Caption().isEmpty());
    QVERIFY(!chooser->isEnabled());

    // A run with a product shows it again; choosing a file clears it.
    Control<QLineEdit>(&form, "AsmIn1Edit")->setText(folder.Path() + '/' + name);
    form.ASMButtonClick();
    QVERIFY(!panel.View().Image().isNull());
    auto* dialog = Control<QFileDialog>(&form, "OpenDialog1");
    QTimer::singleShot(0, dialog, [&] {
      dialog->findChild<QLineEdit*>("fileNameEdit")->setText(folder.Path() + '/' + name);
      static_cast<QDialog*>(dialog)->accept();
    });
    form.Open1Click();
    QVERIFY(panel.View().Image().isNull());
    QVERIFY(panel.Caption().isEmpty());
  }

  void ChannelChangedMidRunTakesEffectAtTheNextRead() {
    WorkingFolder folder;
    WriteMetopPass();
    auto made = std::make_unique<ProbeForm>();
    ProbeForm& form = *made;
    Forms forms(std::move(made));
    form.show();
    Control<QLineEdit>(&form, "AsmIn1Edit")->setText(folder.Path() + '/' + kPassName);
    Control<QCheckBox>(&form, "PNdecoding")->setChecked(true);

    // Unchanged, the pass gives one frame per packet.
    QTest::mouseClick(ProcessButton(form), Qt::LeftButton);
    QCOMPARE(ProductSize(), kPassPackets * kHrptFrameSize);
    QCOMPARE(form.KeptChain().LastLineCount, kPassPackets);

    // While the CVCDU step runs the user sets channel 5 in the MetOp dialog and cancels it: the
    // run goes on with the channel of its start; the next run keeps channel 5, where the pass
    // has nothing.
    bool fired = false;
    bool pumped = false;
    bool process_enabled_during_run = true;
    form.at_stage = [&](std::string_view name) {
      if (name != "CVCDU") return;
      QTimer::singleShot(0, &form, [&] {
        process_enabled_during_run = ProcessButton(form)->isEnabled();
        Control<QAction>(&form, "MetopA1")->trigger();
        Retype(Control<QLineEdit>(forms.Metop_settings, "VCID_Metop"), "5");
        QTest::mouseClick(Control<QPushButton>(forms.Metop_settings, "Button_Cancel"),
                          Qt::LeftButton);
        fired = true;
      });
      pumped = PumpUntil(form, fired);
    };
    QTest::mouseClick(ProcessButton(form), Qt::LeftButton);
    QVERIFY(pumped);
    QVERIFY(!process_enabled_during_run);
    QVERIFY(ProcessButton(form)->isEnabled());
    QCOMPARE(form.KeptChain().LastLineCount, kPassPackets);
    form.at_stage = nullptr;
    QTest::mouseClick(ProcessButton(form), Qt::LeftButton);
    QCOMPARE(form.KeptChain().LastLineCount, 0);
    // No line: the product of the earlier runs stays as it was.
    QCOMPARE(ProductSize(), kPassPackets * kHrptFrameSize);
    QVERIFY(LogLines(form).contains(QString("No line found: the product '%1/%2' was not written.")
                                        .arg(folder.Path(), kProductName)));
  }

  void ClosingDuringARunStopsItAfterConfirmation() {
    WorkingFolder folder;
    WriteMetopPass();
    auto made = std::make_unique<ProbeForm>();
    ProbeForm& form = *made;
    Forms forms(std::move(made));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    Control<QLineEdit>(&form, "AsmIn1Edit")->setText(folder.Path() + '/' + kPassName);
    Control<QCheckBox>(&form, "PNdecoding")->setChecked(true);
    int asked = 0;
    bool answer = false;
    form.confirm_stop = [&] {
      ++asked;
      return answer;
    };
    // The user closes the window while the writer runs: first answers no, then yes.
    bool fired = false;
    form.at_stage = [&](std::string_view name) {
      if (name != "HPT writer") return;
      QTimer::singleShot(0, &form, [&] {
        form.close();
        QVERIFY(form.isVisible());  // "no": the run goes on, the window stays
        answer = true;
        form.close();
        fired = true;
      });
      PumpUntil(form, fired);
    };
    QTest::mouseClick(ProcessButton(form), Qt::LeftButton);
    QCOMPARE(asked, 2);
    QVERIFY(form.LastOutcome().stopped);
    QVERIFY(form.LastOutcome().failed);
    QVERIFY(LogLines(form).contains("Stopped by the user: the run ends here."));
    // No product, no temporary product, no working files; the window has closed.
    QCOMPARE(ProductSize(), -1);
    for (const char* left : {".vantrel-product.tmp", "cadu.pds", "APID.pkt"})
      QVERIFY2(!QFileInfo::exists(left), left);
    QVERIFY(!form.isVisible());
  }

  void FileChosenMidRunIsForTheNextRun() {
    WorkingFolder folder;
    WriteMetopPass();
    QTemporaryDir elsewhere;
    const QString other = elsewhere.path() + "/MetopA_20190101_000000.bin";
    QFile empty(other);
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    auto made = std::make_unique<ProbeForm>();
    ProbeForm& form = *made;
    Forms forms(std::move(made));
    Control<QLineEdit>(&form, "AsmIn1Edit")->setText(folder.Path() + '/' + kPassName);
    Control<QCheckBox>(&form, "PNdecoding")->setChecked(true);
    auto* dialog = Control<QFileDialog>(&form, "OpenDialog1");

    bool fired = false;
    bool pumped = false;
    QString folder_during_run;
    form.at_stage = [&](std::string_view name) {
      if (name != "CVCDU") return;
      // While the run goes on the user picks a recording in another folder.
      QTimer::singleShot(0, &form, [&] {
        QTimer::singleShot(0, dialog, [&] {
          dialog->findChild<QLineEdit*>("fileNameEdit")->setText(other);
          static_cast<QDialog*>(dialog)->accept();
        });
        form.Open1Click();
        folder_during_run = QDir::currentPath();
        fired = true;
      });
      pumped = PumpUntil(form, fired);
    };
    QTest::mouseClick(ProcessButton(form), Qt::LeftButton);
    QVERIFY(pumped);
    // The run finished on its own input in its own folder; the chosen file and its folder are
    // there for the next run.
    QCOMPARE(folder_during_run, folder.Path());
    QCOMPARE(QFileInfo(folder.Path() + '/' + kProductName).size(), kPassPackets * kHrptFrameSize);
    QCOMPARE(QDir::current().canonicalPath(), QDir(elsewhere.path()).canonicalPath());
    QCOMPARE(QFileInfo(Control<QLineEdit>(&form, "AsmIn1Edit")->text()).canonicalFilePath(),
             QFileInfo(other).canonicalFilePath());
  }

  void UnusableSettingEndsTheRunWithAMessage() {
    WorkingFolder folder;
    WriteMetopPass();
    Forms forms;
    TForm1& form = *forms.Form1;
    form.show();
    Control<QLineEdit>(&form, "AsmIn1Edit")->setText(folder.Path() + '/' + kPassName);
    // The user empties the channel field and closes the dialog with Cancel.
    Control<QAction>(&form, "MetopA1")->trigger();
    Retype(Control<QLineEdit>(forms.Metop_settings, "VCID_Metop"), "");
    QTest::mouseClick(Control<QPushButton>(forms.Metop_settings, "Button_Cancel"), Qt::LeftButton);

    QTest::mouseClick(ProcessButton(form), Qt::LeftButton);
    QVERIFY(form.LastOutcome().failed);
    QVERIFY(ProcessButton(form)->isEnabled());
    const QList<QMessageBox*> messages = OpenMessages(&form);
    QCOMPARE(messages.size(), 1);
    QVERIFY(messages[0]->text().contains("VCID_Metop"));
    QVERIFY(LogLines(form).contains(messages[0]->text()));
    QVERIFY(!LogLines(form).contains("Delete intermediate files...  OK!"));
    QCOMPARE(ProductSize(), -1);
  }

  void BatchSwitchesAreExactAndCaseSensitive() {
    WorkingFolder folder;
    Forms forms({"MetopB_none.bin", "dr_y", "RS_N", "mn_y", "MET_y"});
    TForm1& form = *forms.Form1;
    QTRY_VERIFY_WITH_TIMEOUT(form.KeptChain().BatchMode, kBatchStartTimeoutMs);
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
    QTRY_VERIFY_WITH_TIMEOUT(form.KeptChain().BatchMode, kBatchStartTimeoutMs);
    QCOMPARE(LogLines(form).value(0), QString("This is not Metopx_ or FY3x_ or MN2_ files !"));
    QVERIFY(LogLines(form).value(1).contains("\"Satellite: auto (data)\""));
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
