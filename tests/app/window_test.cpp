// The main window and the settings dialogs as the program starts them, and how they behave
// when used by hand.
#include <QAction>
#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QTimer>
#include <QWindow>
#include <QtTest>
#include <cmath>
#include <iterator>

#include "app/signal_panel.h"
#include "app/ti_led_round.h"
#include "core/version.h"
#include "tests/app/app_test_support.h"

namespace vantrel::testing {
namespace {

struct Expected {
  const char* name;
  QString text;
  QRect geometry;
};

QStringList ActionTexts(const QList<QAction*>& actions) {
  QStringList texts;
  for (QAction* action : actions) texts << (action->isSeparator() ? "-" : action->text());
  return texts;
}

// The texts without their mnemonic marks.
QStringList Plain(QStringList texts) {
  return texts.replaceInStrings("&", "");
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

  void MainWindowStartsAsDesigned() {
    Forms forms;
    TForm1& form = *forms.Form1;
    QCOMPARE(form.windowTitle(), QString("Vantrel Processor v. " VANTREL_VERSION " beta"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    // The design's client area at its design size, the quicklook beside it.
    QCOMPARE(Control<QWidget>(&form, "Form1Client")->size(), QSize(561, 312));

    auto* edit = Control<QLineEdit>(&form, "AsmIn1Edit");
    QVERIFY(edit);
    QCOMPARE(edit->text(), QString("D:\\RAW\\cadu.bin"));
    QCOMPARE(edit->geometry(), QRect(40, 8, 273, 21));
    QVERIFY(edit->font().bold());

    auto* button = Control<QPushButton>(&form, "ASMButton");
    QVERIFY(button);
    QCOMPARE(button->text(), QString("Process"));
    QCOMPARE(button->geometry(), QRect(456, 24, 75, 25));
    QVERIFY(button->isEnabled());
    QVERIFY(button->font().bold());

    auto* label = Control<QLabel>(&form, "Label1");
    QVERIFY(label);
    QCOMPARE(label->text(), QString("File size -------- bytes"));
    QCOMPARE(label->pos(), QPoint(8, 48));

    auto* memo = Control<QPlainTextEdit>(&form, "Memo1");
    QVERIFY(memo);
    QVERIFY(memo->toPlainText().isEmpty());
    QCOMPARE(memo->geometry(), QRect(8, 72, 545, 209));
    QCOMPARE(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    auto* bar = Control<QProgressBar>(&form, "ProgressBar1");
    QVERIFY(bar);
    QCOMPARE(bar->geometry(), QRect(8, 288, 545, 16));
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->text(), QString("0%"));

    const Expected boxes[] = {{"PNdecoding", "De-Randomization", {}},
                              {"RSolomon", "Reed-Solomon", {}}};
    for (const Expected& expected : boxes) {
      auto* box = Control<QCheckBox>(&form, expected.name);
      QVERIFY(box);
      QCOMPARE(box->text(), expected.text);
    }
    QCOMPARE(Control<QCheckBox>(&form, "PNdecoding")->pos(), QPoint(328, 8));
    QCOMPARE(Control<QCheckBox>(&form, "RSolomon")->pos(), QPoint(328, 40));
    QVERIFY(!Control<QCheckBox>(&form, "PNdecoding")->isChecked());
    QVERIFY(Control<QCheckBox>(&form, "RSolomon")->isChecked());

    auto* led = Control<TiLedRound>(&form, "iLed");
    QVERIFY(led);
    QCOMPARE(led->geometry(), QRect(12, 11, 15, 15));
    QVERIFY(!led->Active());
    QCOMPARE(led->ActiveColour(), LampColour::Green);
    QCOMPARE(led->toolTip(), QString("ASM synchronizations."));

    auto* timer1 = Control<QTimer>(&form, "Timer1");
    QVERIFY(timer1);
    QCOMPARE(timer1->interval(), 200);
    QVERIFY(timer1->isActive());
    auto* command_line = Control<QTimer>(&form, "TimerCommLine");
    QVERIFY(command_line);
    QCOMPARE(command_line->interval(), 500);
    QVERIFY(command_line->isSingleShot());
    QVERIFY(!command_line->isActive());

    auto* open = Control<QFileDialog>(&form, "OpenDialog1");
    QVERIFY(open);
    // Qt shows the filter names with single blanks.
    QCOMPARE(open->nameFilters(),
             QStringList({"Any file (*.*)", "Rx output (*.bin)", "Rx output (*.dat)",
                          "CADU files (*.cad)", "Soft symbols (*.soft *.s)",
                          "Baseband I/Q (*.wav *.cs16 *.cs8 *.cu8 *.cf32)"}));
    QCOMPARE(open->selectedNameFilter(), QString("Rx output (*.bin)"));
    QCOMPARE(open->defaultSuffix(), QString("bin"));
    QVERIFY(!open->isVisible());
  }

  void MenuHasEveryItem() {
    Forms forms;
    auto* menu = Control<QMenuBar>(forms.Form1.get(), "MainMenu1");
    QVERIFY(menu);
    QCOMPARE(Plain(ActionTexts(menu->actions())), QStringList({"File", "Settings", "About"}));
    QCOMPARE(Plain(ActionTexts(menu->actions()[0]->menu()->actions())),
             QStringList({"Open...", "-", "Exit"}));
    QCOMPARE(Plain(ActionTexts(menu->actions()[1]->menu()->actions())),
             QStringList({"MetOp-A/B", "FY3A/3B", "MeteorMN2", "-", "Debug"}));
    QVERIFY(menu->actions()[2]->menu() == nullptr);  // About acts by itself
    // Every menu and item has a mnemonic, none twice within one menu.
    for (const QList<QAction*>& actions : {menu->actions(), menu->actions()[0]->menu()->actions(),
                                           menu->actions()[1]->menu()->actions()}) {
      QSet<QChar> keys;
      for (QAction* action : actions) {
        if (action->isSeparator()) continue;
        const qsizetype mark = action->text().indexOf('&');
        QVERIFY2(mark >= 0, qPrintable(action->text()));
        const QChar key = action->text().at(mark + 1).toLower();
        QVERIFY2(!keys.contains(key), qPrintable(action->text()));
        keys.insert(key);
      }
    }
    QCOMPARE(Control<QAction>(forms.Form1.get(), "Open1")->shortcut(), QKeySequence("Ctrl+O"));
    QCOMPARE(Control<QAction>(forms.Form1.get(), "Exit1")->shortcut(), QKeySequence("Ctrl+Q"));
  }

  void CtrlQQuitsAndCtrlOOpens() {
    {
      Forms forms;
      TForm1& form = *forms.Form1;
      form.show();
      QVERIFY(QTest::qWaitForWindowActive(&form));
      QTest::keyClick(&form, Qt::Key_Q, Qt::ControlModifier);
      QVERIFY(!form.isVisible());
    }
    Forms forms;
    TForm1& form = *forms.Form1;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    auto* dialog = Control<QFileDialog>(&form, "OpenDialog1");
    bool opened = false;
    QTimer::singleShot(0, dialog, [&] {
      opened = dialog->isVisible();
      static_cast<QDialog*>(dialog)->reject();
    });
    QTest::keyClick(&form, Qt::Key_O, Qt::ControlModifier);
    QVERIFY(opened);
  }

  void SatelliteBoxOffersEverySatelliteAndTellsTheDriver() {
    Forms forms;
    TForm1& form = *forms.Form1;
    auto* box = Control<QComboBox>(&form, "SatelliteBox");
    QCOMPARE(box->count(), 12);
    QCOMPARE(box->currentText(), QString("Satellite: file name"));
    QCOMPARE(form.SatelliteChoice(), std::string());
    QCOMPARE(box->itemText(9), QString("Meteor-M N2-3"));
    box->setCurrentIndex(9);
    QCOMPARE(form.SatelliteChoice(), std::string("meteor-m2-3"));
    box->setCurrentIndex(box->count() - 1);
    QCOMPARE(form.SatelliteChoice(), std::string("auto"));
    // The box keeps clear of the design's controls.
    for (const char* name : {"AsmIn1Edit", "Label1", "RSolomon", "ASMButton", "Memo1"})
      QVERIFY2(!box->geometry().intersects(Control<QWidget>(&form, name)->geometry()), name);
  }

  void InputKindFollowsTheExtensionAndTellsTheDriver() {
    Forms forms;
    TForm1& form = *forms.Form1;
    auto* box = Control<QComboBox>(&form, "InputKindBox");
    auto* path = Control<QLineEdit>(&form, "AsmIn1Edit");
    QCOMPARE(form.InputKindChoice(), std::string("hard"));
    path->setText("/data/MetopB_20181231_101530.soft");
    QCOMPARE(box->currentText(), QString("Soft symbols"));
    QCOMPARE(form.InputKindChoice(), std::string("soft"));
    path->setText("/data/MN2_20181231_101530.bin");
    QCOMPARE(form.InputKindChoice(), std::string("hard"));
    path->setText("/data/MN2_20181231_101530.s");
    QCOMPARE(form.InputKindChoice(), std::string("soft"));
    // The names SDR programs write, and a raw file whose first bytes are cu8 I/Q.
    const struct {
      const char* name;
      const char* kind;
    } named[] = {{"/data/baseband_1701300000Hz_10-15-30_09-12-2026.wav", "baseband"},
                 {"/data/2026-12-09_10-15-30_6000000SPS_1701300000Hz.s16", "baseband"},
                 {"/data/metop_ahrpt.soft", "soft"},
                 {"/data/pass.sigmf-meta", "baseband"},
                 {"/data/pass.sdriq", "baseband"}};
    for (const auto& n : named) {
      path->setText(n.name);
      QCOMPARE(form.InputKindChoice(), std::string(n.kind));
    }
    QTemporaryDir folder;
    const QString raw = folder.path() + "/capture.raw";
    {
      QFile file(raw);
      QVERIFY(file.open(QIODevice::WriteOnly));
      QByteArray bytes;
      // A slowly turning carrier at half scale: neighbouring samples alike, centred on 127.5.
      for (int i = 0; i < 20000; ++i) {
        bytes.append(static_cast<char>(127.5 + 60 * std::cos(i * 0.05)));
        bytes.append(static_cast<char>(127.5 + 60 * std::sin(i * 0.05)));
      }
      file.write(bytes);
    }
    path->setText(raw);
    QCOMPARE(form.InputKindChoice(), std::string("baseband"));
    // Chosen by hand for a name that does not tell.
    path->setText("/data/MetopB_20181231_101530.raw");
    box->setCurrentIndex(1);
    QCOMPARE(form.InputKindChoice(), std::string("soft"));
    for (const char* name :
         {"AsmIn1Edit", "Label1", "PNdecoding", "RSolomon", "ASMButton", "SatelliteBox", "Memo1"})
      QVERIFY2(!box->geometry().intersects(Control<QWidget>(&form, name)->geometry()), name);
  }

  void BasebandInputTakesASampleRateAndShowsTheSignal() {
    Forms forms;
    TForm1& form = *forms.Form1;
    auto* path = Control<QLineEdit>(&form, "AsmIn1Edit");
    auto* rate = Control<QLineEdit>(&form, "SampleRateEdit");
    QVERIFY(!rate->isEnabled());
    for (const char* name : {"/data/MetopB_1.wav", "/data/FY3C_1.CS16", "/data/MN2_1.cu8"}) {
      path->setText(name);
      QCOMPARE(form.InputKindChoice(), std::string("baseband"));
      QVERIFY2(rate->isEnabled(), name);
    }
    QCOMPARE(form.SampleRateChoice(), int64_t{0});  // empty: the header's
    rate->setText("6000000");
    QCOMPARE(form.SampleRateChoice(), int64_t{6000000});
    QTest::keyClicks(rate, "x");  // not a digit: refused by the field
    QCOMPARE(form.SampleRateChoice(), int64_t{6000000});
    // A hard-bit recording reads no rate, whatever the field holds.
    path->setText("/data/MetopB_1.bin");
    QVERIFY(!rate->isEnabled());
    QCOMPARE(form.SampleRateChoice(), int64_t{0});
    for (const char* name : {"AsmIn1Edit", "Label1", "PNdecoding", "RSolomon", "ASMButton",
                             "SatelliteBox", "InputKindBox", "Memo1"})
      QVERIFY2(!rate->geometry().intersects(Control<QWidget>(&form, name)->geometry()), name);

    // The signal panel appears with the first signal of a run and goes with the next run.
    const SignalPanel& panel = form.SignalOfRun();
    QVERIFY(panel.isHidden());
    SignalView signal;
    signal.seconds = 12;
    signal.carrier_offset_hz = -12345;
    signal.snr_db = 8.25;
    signal.locked = true;
    signal.points = {{0.7f, 0.7f}, {-0.7f, 0.7f}};
    form.ShowSignal(signal);
    QVERIFY(!panel.isHidden());
    QCOMPARE(panel.Constellation().Points().size(), size_t{2});
    QVERIFY2(panel.Caption().contains("-12.3 kHz"), qPrintable(panel.Caption()));
    QVERIFY2(panel.Caption().contains("8.2 dB") || panel.Caption().contains("8.3 dB"),
             qPrintable(panel.Caption()));
    QTemporaryDir folder;
    path->setText(folder.filePath("nothing_here.bin"));
    form.ASMButtonClick();
    QVERIFY(panel.isHidden());
    QVERIFY(panel.Constellation().Points().empty());
  }

  void TabOrderFollowsTheLayout() {
    Forms forms;
    TForm1& form = *forms.Form1;
    const char* const order[] = {"AsmIn1Edit", "InputKindBox",    "SampleRateEdit", "PNdecoding",
                                 "FollowBox",  "RSolomon",        "SatelliteBox",   "ASMButton",
                                 "Memo1",      "QuicklookChannel"};
    QWidget* at = Control<QWidget>(&form, order[0]);
    for (size_t k = 1; k < std::size(order); ++k) {
      // Skip what takes no focus by Tab (labels, the lamp, the bar).
      do {
        at = at->nextInFocusChain();
      } while (!(at->focusPolicy() & Qt::TabFocus));
      QCOMPARE(at->objectName(), QString(order[k]));
    }
  }

  void LogBarAndQuicklookGrowWithTheWindow() {
    Forms forms;
    TForm1& form = *forms.Form1;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto* memo = Control<QPlainTextEdit>(&form, "Memo1");
    auto* bar = Control<QProgressBar>(&form, "ProgressBar1");
    auto* view = Control<QWidget>(&form, "QuicklookImage");
    const QSize memo_start = memo->size();
    const QSize view_start = view->size();
    const int bar_start = bar->width();

    form.resize(1400, 900);
    QTRY_VERIFY(memo->height() > memo_start.height() + 500);
    QVERIFY(memo->width() > memo_start.width() + 200);
    QCOMPARE(bar->width(), memo->width());
    QCOMPARE(bar->height(), 16);
    QVERIFY(bar->width() > bar_start + 200);
    QVERIFY(view->width() > view_start.width() + 100);
    QVERIFY(view->height() > view_start.height() + 500);
    // The controls above the log stay where the design has them.
    QCOMPARE(Control<QLineEdit>(&form, "AsmIn1Edit")->pos(), QPoint(40, 8));
    QCOMPARE(Control<QPushButton>(&form, "ASMButton")->pos(), QPoint(456, 24));
    QCOMPARE(memo->pos(), QPoint(8, 72));

    // Made as small as it goes, nothing of the design's area is cut off.
    form.resize(100, 100);
    QTRY_VERIFY(form.width() < 1400);
    QVERIFY(Control<QWidget>(&form, "Form1Client")->width() >= 561);
    QVERIFY(memo->height() > 0);
  }

  void ProgressBarShowsStageAndPercentAndNeverTheBusyAnimation() {
    Forms forms;
    TForm1& form = *forms.Form1;
    auto* bar = Control<QProgressBar>(&form, "ProgressBar1");
    form.StageStarting("CADU extraction");
    form.SetProgressMaximum(200);
    form.SetProgressPosition(50);
    QCOMPARE(bar->text(), QString("CADU extraction: 25%"));
    // A stage that sets the maximum to 0 leaves a range of at least 1.
    form.SetProgressMaximum(0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 1);
    form.SetProgressMaximum(-5);
    QCOMPARE(bar->maximum(), 1);
  }

  void EnterInThePathFieldPressesProcess() {
    WorkingFolder folder;
    Forms forms;
    TForm1& form = *forms.Form1;
    auto* edit = Control<QLineEdit>(&form, "AsmIn1Edit");
    edit->setText(folder.Path() + "/pass.bin");
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(LogLines(form).value(0), QString("This is not Metopx_ or FY3x_ or MN2_ files !"));
    QVERIFY(LogLines(form).value(1).contains("\"Satellite: auto (data)\""));
    // The command line's words become the window's controls.
    form.AppendLog("Hint: de-randomisation is off: try DR_y");
    form.AppendLog("No satellite recognised: give --samplerate or --satellite auto");
    QCOMPARE(LogLines(form).value(2),
             QString("Hint: de-randomisation is off: tick the De-Randomization box"));
    QCOMPARE(LogLines(form).value(3), QString("No satellite recognised: give the sample rate or "
                                              "\"Satellite: auto (data)\""));
    form.Memo1DblClick();
    form.AppendLog("This is not Metopx_ or FY3x_ or MN2_ files !");
    form.AppendLog("A recording named without a satellite marker");
    // While Process is disabled, Enter does nothing.
    Control<QPushButton>(&form, "ASMButton")->setEnabled(false);
    QTest::keyClick(edit, Qt::Key_Enter);
    QCOMPARE(LogLines(form).size(), 2);
  }

  void DialogsComeBackWhereTheyWereMoved() {
    Forms forms;
    TForm1& form = *forms.Form1;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    TMetop_settings* dialog = forms.Metop_settings;
    Control<QAction>(&form, "MetopA1")->trigger();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    // Moved by the user through the window system (not by the program).
    const QPoint moved = dialog->pos() + QPoint(150, 90);
    dialog->windowHandle()->setFramePosition(moved);
    QTRY_COMPARE(dialog->pos(), moved);
    QTest::mouseClick(Control<QPushButton>(dialog, "Button_OK"), Qt::LeftButton);
    QVERIFY(!dialog->isVisible());
    Control<QAction>(&form, "MetopA1")->trigger();
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->pos(), moved);
  }

  void DialogsAreCreatedHiddenInOrderWithTheirLook() {
    Forms forms;
    const QList<SettingsDialog*> dialogs =
        forms.Form1->findChildren<SettingsDialog*>(Qt::FindDirectChildrenOnly);
    QStringList names;
    for (SettingsDialog* dialog : dialogs) names << dialog->objectName();
    QCOMPARE(names,
             QStringList({"Metop_settings", "FY3x_settings", "DebugInfo", "Meteor_settings"}));

    struct Look {
      SettingsDialog* dialog;
      QString caption;
      QSize size;
      QString group;
      bool minimise_box;
    };
    const Look looks[] = {
        {forms.Metop_settings, "MetOp-A/B settings", {327, 256}, "MetOp - A/B", true},
        {forms.FY3x_settings, "FY3A/3B settings", {329, 251}, "FY3A/3B", true},
        {forms.DebugInfo, "Debug Info", {258, 328}, "Show info during: ", true},
        {forms.Meteor_settings, "Meteor MNx settings", {321, 189}, "Meteor MNx", false},
    };
    for (const Look& look : looks) {
      QVERIFY(!look.dialog->isVisible());
      QVERIFY(!look.dialog->isModal());
      QCOMPARE(look.dialog->windowTitle(), look.caption);
      QCOMPARE(look.dialog->size(), look.size);
      QCOMPARE(look.dialog->palette().color(QPalette::Window), QColor(0xA6, 0xCA, 0xF0));
      const QList<QGroupBox*> groups = look.dialog->findChildren<QGroupBox*>();
      QCOMPARE(groups.size(), 1);
      QCOMPARE(groups[0]->title(), look.group);
      QCOMPARE(bool(look.dialog->windowFlags() & Qt::WindowMinimizeButtonHint), look.minimise_box);
      // The buttons lie below the group box.
      for (QPushButton* button : look.dialog->findChildren<QPushButton*>()) {
        QVERIFY(button->parentWidget() == look.dialog);
        QVERIFY(button->y() >= groups[0]->geometry().bottom());
      }
    }
  }

  void DialogControlsHaveTheirDefaults() {
    Forms forms;
    TMetop_settings* metop = forms.Metop_settings;
    struct Field {
      const char* name;
      QString text;
      int max_length;
    };
    const Field fields[] = {
        {"VCID_Metop", "9", 2}, {"MPDU_header", "4", 1}, {"MaxPkLen", "12966", 5}};
    for (const Field& field : fields) {
      auto* edit = Control<QLineEdit>(metop, field.name);
      QVERIFY(edit);
      QCOMPARE(edit->text(), field.text);
      QCOMPARE(edit->maxLength(), field.max_length);
    }
    QCOMPARE(Control<QLineEdit>(metop, "MPDU_header")->toolTip(),
             QString("MPDU HEADER LENGTH in bytes"));
    QStringList labels;
    for (QLabel* label : metop->findChildren<QLabel*>()) {
      QVERIFY(label->font().bold());
      labels << label->text();
    }
    QCOMPARE(labels, QStringList({"VCID =", "MPDU Header =", "MAX. PACKET LENGTH "}));
    QCOMPARE(Control<QRadioButton>(metop, "APID103")->text(), QString("APID 103 ( Day )"));
    QCOMPARE(Control<QRadioButton>(metop, "APID104")->text(), QString("APID 104 ( Night )"));
    QVERIFY(Control<QRadioButton>(metop, "APID103")->isChecked());
    QVERIFY(!Control<QRadioButton>(metop, "APID104")->isChecked());
    QCOMPARE(Control<QPushButton>(metop, "Button_OK")->text(), QString("OK"));
    QCOMPARE(Control<QPushButton>(metop, "Button_Cancel")->text(), QString("Cancel"));

    TFY3x_settings* fy3 = forms.FY3x_settings;
    QVERIFY(Control<QGroupBox>(fy3, "FY3xsettings"));
    QCOMPARE(Control<QRadioButton>(fy3, "VCID5")->text(), QString("VIRR (day) VCID=5"));
    QCOMPARE(Control<QRadioButton>(fy3, "VCID9")->text(), QString("VIRR (night) VCID=9"));
    QCOMPARE(Control<QRadioButton>(fy3, "VCID3")->text(), QString("MERSI VCID=3"));
    QVERIFY(Control<QRadioButton>(fy3, "VCID5")->isChecked());
    QVERIFY(Control<QPushButton>(fy3, "Button_OK") && Control<QPushButton>(fy3, "Button_Cancel"));

    TMeteor_settings* meteor = forms.Meteor_settings;
    QCOMPARE(Control<QCheckBox>(meteor, "Manchester_box")->text(), QString("Manchester decoder"));
    QVERIFY(!Control<QCheckBox>(meteor, "Manchester_box")->isChecked());
    QCOMPARE(Control<QPushButton>(meteor, "Button1")->text(), QString("OK"));
    QCOMPARE(Control<QPushButton>(meteor, "Button2")->text(), QString("Cancel"));

    const Expected debug_boxes[] = {
        {"ASMsearch", "ASM search", {}},
        {"RSolInfo", "Reed-Solomon processing", {}},
        {"GetVCDU", "Get VCDU", {}},
        {"GetAPID", "Get APID", {}},
        {"FY3ASM", "Inner ASM search (for FY3x)", {}},
        {"Full_CADU", "Fulll CADU", {}},
        {"DFiles", "Delete intermediate files", {}},
        {"KeepUncorrectable", "Keep uncorrectable frames", {}},
    };
    for (const Expected& expected : debug_boxes) {
      auto* box = Control<QCheckBox>(forms.DebugInfo, expected.name);
      QVERIFY(box);
      QCOMPARE(box->text(), expected.text);
      QCOMPARE(box->isChecked(), QString(expected.name) == "DFiles");
    }
    QCOMPARE(forms.DebugInfo->findChildren<QPushButton*>().size(), 1);  // OK only
    QVERIFY(Control<QPushButton>(forms.DebugInfo, "ButtonOK"));
  }

  void OptionsAreReadLiveFromTheControls() {
    Forms forms;
    TForm1& form = *forms.Form1;
    // The start-up values.
    QCOMPARE(form.VCID_Metop(), std::string("9"));
    QCOMPARE(form.MPDU_header(), std::string("4"));
    QCOMPARE(form.MaxPkLen(), std::string("12966"));
    QCOMPARE(form.Fy3Vcid(), 5);
    QVERIFY(!form.APID104() && !form.Manchester_box() && !form.GetVCDU() && !form.GetAPID());
    QVERIFY(!form.FY3ASM() && !form.Full_CADU() && form.DFiles() && !form.KeepUncorrectable());
    QVERIFY(!form.PNdecoding() && form.RSolomon());

    Control<QLineEdit>(forms.Metop_settings, "VCID_Metop")->setText("12");
    Control<QRadioButton>(forms.Metop_settings, "APID104")->setChecked(true);
    Control<QRadioButton>(forms.FY3x_settings, "VCID9")->setChecked(true);
    Control<QCheckBox>(forms.Meteor_settings, "Manchester_box")->setChecked(true);
    Control<QCheckBox>(forms.DebugInfo, "Full_CADU")->setChecked(true);
    Control<QCheckBox>(forms.DebugInfo, "DFiles")->setChecked(false);
    Control<QCheckBox>(forms.DebugInfo, "KeepUncorrectable")->setChecked(true);
    Control<QCheckBox>(&form, "PNdecoding")->setChecked(true);
    QCOMPARE(form.VCID_Metop(), std::string("12"));
    QVERIFY(form.APID104());
    QVERIFY(!Control<QRadioButton>(forms.Metop_settings, "APID103")->isChecked());
    QCOMPARE(form.Fy3Vcid(), 9);
    Control<QRadioButton>(forms.FY3x_settings, "VCID3")->setChecked(true);
    QCOMPARE(form.Fy3Vcid(), 3);
    QVERIFY(form.Manchester_box() && form.Full_CADU() && !form.DFiles() && form.PNdecoding());
    QVERIFY(form.KeepUncorrectable());

    // The driver unchecks the main window's boxes through the host.
    form.SetRSolomon(false);
    QVERIFY(!Control<QCheckBox>(&form, "RSolomon")->isChecked());
  }

  void StagesReachLabelBarAndLamp() {
    Forms forms;
    TForm1& form = *forms.Form1;
    form.SetSizeCaption("File size 1048576 bytes");
    QCOMPARE(Control<QLabel>(&form, "Label1")->text(), QString("File size 1048576 bytes"));

    auto* bar = Control<QProgressBar>(&form, "ProgressBar1");
    form.SetProgressMaximum(4'000'000'000LL);  // a size in KiB beyond int stays a valid range
    QCOMPARE(bar->maximum(), std::numeric_limits<int>::max());
    form.SetProgressMaximum(1000);
    form.SetProgressPosition(250);
    QCOMPARE(bar->value(), 250);
    form.KeptChain().ProgressCount = 640;
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 640, 2000);  // Timer1 copies the count

    // The CADU stage moves the bar itself and counts no records: Timer1 keeps its position
    // instead of dropping the bar to 0% at every tick. The next stage starts from 0 and shows
    // its record count.
    form.StageStarting("CADU extraction");
    form.KeptChain().ProgressCount = 0;
    form.SetProgressPosition(0);
    form.SetProgressPosition(300);
    form.Timer1Timer();
    QCOMPARE(bar->value(), 300);
    form.SetProgressPosition(700);
    form.Timer1Timer();
    QCOMPARE(bar->value(), 700);
    form.StageStarting("CVCDU");
    form.Timer1Timer();
    QCOMPARE(bar->value(), 0);
    form.KeptChain().ProgressCount = 25;
    form.Timer1Timer();
    QCOMPARE(bar->value(), 25);
    form.KeptChain().ProgressCount = 0;

    // The lamp is drawn lit in its colour and dark in a darker shade of it.
    auto* led = Control<TiLedRound>(&form, "iLed");
    const QPoint centre(7, 7);
    QVERIFY(!form.LampActive());
    const QColor off = led->grab().toImage().pixelColor(centre);
    QCOMPARE(off.hue(), QColor(Qt::green).hue());
    QVERIFY(off.value() < 128);
    form.SetLampActive(true);
    QCOMPARE(led->grab().toImage().pixelColor(centre), QColor(0, 255, 0));
    form.SetLampColour(LampColour::Red);
    QCOMPARE(form.GetLampColour(), LampColour::Red);
    QCOMPARE(led->grab().toImage().pixelColor(centre), QColor(255, 0, 0));
    form.SetLampActive(false);
    const QColor dark_red = led->grab().toImage().pixelColor(centre);
    QVERIFY(dark_red.red() > 0 && dark_red.red() < 128 && dark_red.green() == 0);
  }

  void SettingsMenuShowsDialogsModelessAndButtonsHideThem() {
    Forms forms;
    TForm1& form = *forms.Form1;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    struct Entry {
      const char* action;
      SettingsDialog* dialog;
      const char* ok;
      const char* cancel;
    };
    const Entry entries[] = {
        {"MetopA1", forms.Metop_settings, "Button_OK", "Button_Cancel"},
        {"FY3A3B1", forms.FY3x_settings, "Button_OK", "Button_Cancel"},
        {"MeteorMNx", forms.Meteor_settings, "Button1", "Button2"},
        {"DebugInfo1", forms.DebugInfo, "ButtonOK", nullptr},
    };
    for (const Entry& entry : entries) {
      auto* action = Control<QAction>(&form, entry.action);
      QVERIFY(action);
      action->trigger();
      QVERIFY(entry.dialog->isVisible());
      QVERIFY(form.isEnabled() && QApplication::activeModalWidget() == nullptr);
      action->trigger();  // already visible: still one dialog, still shown
      QVERIFY(entry.dialog->isVisible());
      QTest::mouseClick(Control<QPushButton>(entry.dialog, entry.ok), Qt::LeftButton);
      QVERIFY(!entry.dialog->isVisible());
      if (entry.cancel == nullptr) continue;
      action->trigger();
      QTest::mouseClick(Control<QPushButton>(entry.dialog, entry.cancel), Qt::LeftButton);
      QVERIFY(!entry.dialog->isVisible());
    }
  }

  void CancelKeepsWhatWasChanged() {
    Forms forms;
    TForm1& form = *forms.Form1;
    Control<QAction>(&form, "MetopA1")->trigger();
    auto* vcid = Control<QLineEdit>(forms.Metop_settings, "VCID_Metop");
    vcid->selectAll();
    QTest::keyClicks(vcid, "5");
    QTest::mouseClick(Control<QPushButton>(forms.Metop_settings, "Button_Cancel"), Qt::LeftButton);
    QVERIFY(!forms.Metop_settings->isVisible());
    QCOMPARE(form.VCID_Metop(), std::string("5"));

    Control<QAction>(&form, "MeteorMNx")->trigger();
    QTest::mouseClick(Control<QCheckBox>(forms.Meteor_settings, "Manchester_box"), Qt::LeftButton);
    QTest::mouseClick(Control<QPushButton>(forms.Meteor_settings, "Button2"), Qt::LeftButton);
    QVERIFY(form.Manchester_box());
  }

  void FieldsRefuseWhatAStageCannotUse() {
    Forms forms;
    TMetop_settings* metop = forms.Metop_settings;
    auto* vcid = Control<QLineEdit>(metop, "VCID_Metop");
    auto* header = Control<QLineEdit>(metop, "MPDU_header");
    auto* length = Control<QLineEdit>(metop, "MaxPkLen");

    vcid->clear();
    QTest::keyClicks(vcid, "a1-b2 7");  // letters, signs and blanks refused; two digits at most
    QCOMPARE(vcid->text(), QString("12"));
    vcid->clear();
    QTest::keyClicks(vcid, "64");  // a virtual channel has 6 bits: 0..63
    QCOMPARE(vcid->text(), QString("6"));
    vcid->clear();
    QTest::keyClicks(vcid, "63");
    QCOMPARE(vcid->text(), QString("63"));
    header->clear();
    QTest::keyClicks(header, "x+3614");  // an M_PDU header is 2 or 4 bytes long
    QCOMPARE(header->text(), QString("4"));
    header->clear();
    QTest::keyClicks(header, "2");
    QCOMPARE(header->text(), QString("2"));
    length->clear();
    QTest::keyClicks(length, "99999");  // above 12999: the last digit is refused
    QCOMPARE(length->text(), QString("9999"));
    length->clear();
    QTest::keyClicks(length, "13000");
    QCOMPARE(length->text(), QString("1300"));
    length->clear();
    QTest::keyClicks(length, "12999");
    QCOMPARE(length->text(), QString("12999"));
    QVERIFY(metop->FieldsAcceptable());

    // A length below 7 or an empty field can be typed, but OK keeps the dialog open and says why.
    metop->ShowOrRaise();
    length->clear();
    QTest::keyClicks(length, "6");
    QVERIFY(!metop->FieldsAcceptable());
    QTest::mouseClick(Control<QPushButton>(metop, "Button_OK"), Qt::LeftButton);
    QVERIFY(metop->isVisible());
    QList<QMessageBox*> messages = OpenMessages(metop);
    QCOMPARE(messages.size(), 1);
    QVERIFY(messages[0]->text().contains("MAX. PACKET LENGTH"));
    messages[0]->close();

    vcid->clear();
    QTest::mouseClick(Control<QPushButton>(metop, "Button_OK"), Qt::LeftButton);
    QVERIFY(metop->isVisible());
    messages = OpenMessages(metop);
    QCOMPARE(messages.size(), 1);
    QVERIFY(messages[0]->text().contains("VCID"));
    messages[0]->close();

    QTest::keyClicks(vcid, "9");
    QTest::keyClicks(length, "00");  // 600
    QTest::mouseClick(Control<QPushButton>(metop, "Button_OK"), Qt::LeftButton);
    QVERIFY(!metop->isVisible());
    QCOMPARE(forms.Form1->MaxPkLen(), std::string("600"));
  }

  void DoubleClickClearsTheLog() {
    Forms forms;
    TForm1& form = *forms.Form1;
    form.AppendLog("Starting ASM detection...");
    form.AppendLog("");
    QCOMPARE(LogLines(form), QStringList({"Starting ASM detection...", ""}));
    auto* memo = Control<QPlainTextEdit>(&form, "Memo1");
    QTest::mouseDClick(memo->viewport(), Qt::LeftButton);
    QVERIFY(memo->toPlainText().isEmpty());
    form.AppendLog("Open input file failed!");
    QCOMPARE(LogLines(form), QStringList({"Open input file failed!"}));
  }

  void OpenDialogChoosesTheInputAndTheWorkingFolder() {
    WorkingFolder start;
    QTemporaryDir recordings;
    const QString chosen = recordings.path() + "/MetopB_20181231_101530.bin";
    QFile file(chosen);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    Forms forms;
    TForm1& form = *forms.Form1;
    auto* dialog = Control<QFileDialog>(&form, "OpenDialog1");
    auto* edit = Control<QLineEdit>(&form, "AsmIn1Edit");

    form.SetSizeCaption("File size 1048576 bytes");
    // Cancelled: nothing changes.
    QTimer::singleShot(0, dialog, [dialog] { static_cast<QDialog*>(dialog)->reject(); });
    form.Open1Click();
    QCOMPARE(edit->text(), QString("D:\\RAW\\cadu.bin"));
    QCOMPARE(QDir::currentPath(), start.Path());
    QCOMPARE(Control<QLabel>(&form, "Label1")->text(), QString("File size 1048576 bytes"));

    QString folder_shown;
    QString filter_shown;
    QTimer::singleShot(0, dialog, [&] {
      folder_shown = dialog->directory().absolutePath();
      filter_shown = dialog->selectedNameFilter();
      // The user types the file's full path into the name field and confirms.
      dialog->findChild<QLineEdit*>("fileNameEdit")->setText(chosen);
      static_cast<QDialog*>(dialog)->accept();
    });
    form.Open1Click();
    // No D:/RAW here: the dialog opened in the current folder, on receiver output files.
    QCOMPARE(folder_shown, start.Path());
    QCOMPARE(filter_shown, QString("Rx output (*.bin)"));
    const QString expected = QFileInfo(chosen).canonicalFilePath();
    QCOMPARE(QFileInfo(edit->text()).canonicalFilePath(), expected);
    QCOMPARE(QFileInfo(edit->toolTip()).canonicalFilePath(), expected);
    QCOMPARE(QDir::current().canonicalPath(), QFileInfo(expected).absolutePath());
    // The size shown was the last file's.
    QCOMPARE(Control<QLabel>(&form, "Label1")->text(), QString("File size -------- bytes"));
  }

  void AboutShowsOneLine() {
    Forms forms;
    Control<QAction>(forms.Form1.get(), "About1")->trigger();
    const QList<QMessageBox*> messages = OpenMessages(forms.Form1.get());
    QCOMPARE(messages.size(), 1);
    QVERIFY(messages[0]->text().startsWith("Vantrel Processor v. " VANTREL_VERSION " beta"));
    QVERIFY(!messages[0]->text().contains('\n'));
  }

  void ExitClosesTheWindow() {
    Forms forms;
    forms.Form1->show();
    Control<QAction>(forms.Form1.get(), "Exit1")->trigger();
    QVERIFY(!forms.Form1->isVisible());
  }
};

}  // namespace vantrel::testing

QTEST_MAIN(vantrel::testing::WindowTest)
#include "window_test.moc"
