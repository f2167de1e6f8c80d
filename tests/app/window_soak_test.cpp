// Soak of one window session: twenty small simulated passes of each family processed back to back
// through the Process button of a single main window with its dialogs, as a user works through a
// day of recordings. Every product is compared with the simulator's truth, the log and the Process
// button must stay usable, and the process's peak resident memory must not grow from the first to
// the last pass of a family.
#include <sys/resource.h>

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/simulator.h"
#include "tests/app/app_test_support.h"

namespace vantrel::testing {
namespace {

constexpr int kPassesPerFamily = 20;
constexpr uint64_t kMetopSeed = 7001000;
constexpr uint64_t kFy3Seed = 7002000;
constexpr uint64_t kMn2Seed = 7003000;
constexpr int kMetopPackets = 3;
constexpr int kFy3Lines = 3;
constexpr int kMn2Lines = 5;
// AddressSanitizer keeps freed memory in quarantine (a quarter of a GiB by default), so resident
// memory grows under it whether or not anything leaks; its leak checker covers that build instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeasurable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif
#else
constexpr bool kMemoryIsMeasurable = true;
#endif
// Peak resident memory may grow this much from a family's first pass to its last.
constexpr long kAllowedGrowthKiB = 16 * 1024;
// The log of one pass stays well under this many lines.
constexpr int kMostLogLinesPerPass = 200;

// Product layouts: where the instrument data of a packet or line lands in its record.
constexpr qsizetype kHptRecordSize = 13864;
constexpr qsizetype kHptDataStart = 937;
constexpr qsizetype kPacketDataStart = 82;
constexpr qsizetype kPacketDataEnd = 12882;  // one past the last byte copied
constexpr qsizetype kC10RecordSize = 27728;
constexpr qsizetype kC10DataStart = 2000;
constexpr qsizetype kLineDataStart = 436;
constexpr qsizetype kLineDataEnd = 26050;
constexpr qsizetype kDatRecordSize = 16432;
constexpr qsizetype kDatFrameMarkerAt = 16000;
const char* const kDatHeaderId = "HRPTMeteoM2";
const char* const kDatFrameMarker = "FRAME";

// Where a radio button is clicked: on its round mark at the left.
constexpr int kMarkX = 6;

const char* const kLastLogLine = "Delete intermediate files...  OK!";

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

bool WriteFile(const QString& name, const std::vector<uint8_t>& bytes) {
  QFile file(name);
  if (!file.open(QIODevice::WriteOnly)) return false;
  const auto size = static_cast<qint64>(bytes.size());
  return file.write(reinterpret_cast<const char*>(bytes.data()), size) == size;
}

QByteArray ReadFile(const QString& name) {
  QFile file(name);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool SameBytes(const QByteArray& product, qsizetype at, const std::vector<uint8_t>& unit,
               qsizetype from, qsizetype to) {
  return at + (to - from) <= product.size() &&
         std::memcmp(product.constData() + at, unit.data() + from, to - from) == 0;
}

// Clicks a check box until it shows `checked`, as a user does.
void SetTicked(QCheckBox* box, bool checked) {
  if (box->isChecked() != checked) QTest::mouseClick(box, Qt::LeftButton);
}

}  // namespace

class WindowSoakTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    folder_ = std::make_unique<WorkingFolder>();
    forms_ = std::make_unique<Forms>();
    form().show();
    QVERIFY(QTest::qWaitForWindowExposed(&form()));
  }

  void cleanupTestCase() {
    forms_.reset();
    folder_.reset();
  }

  void MetopPasses() {
    SetTicked(Control<QCheckBox>(&form(), "PNdecoding"), true);
    SetTicked(Control<QCheckBox>(&form(), "RSolomon"), true);
    qInfo("MetOp: seeds %llu + pass", static_cast<unsigned long long>(kMetopSeed));
    long first_peak = 0;
    for (int i = 0; i < kPassesPerFamily; ++i) {
      const char satellite = "ABC"[i % 3];
      const uint64_t seed = kMetopSeed + i;
      sim::MetopOptions options;
      options.satellite = satellite;
      options.packets = kMetopPackets;
      const sim::MetopPass pass = sim::MakeMetopPass(options, {}, {}, seed);
      const QString name = QString("Metop%1_20181231_101530.bin").arg(satellite);
      const QString product = QString(satellite == 'A' ? "" : "Metop%1_").arg(satellite) +
                              QString("20181231_1015_M0%1.hpt").arg(2 + (satellite - 'A'));
      QVERIFY(WriteFile(name, pass.recording.bytes));

      Run(name);
      if (QTest::currentTestFailed()) return;
      const QByteArray data = ReadProduct(product);
      QVERIFY2(!pass.packets.empty(), "the pass has packets");
      QCOMPARE(data.size(), static_cast<qsizetype>(pass.packets.size()) * kHptRecordSize);
      for (size_t k = 0; k < pass.packets.size(); ++k) {
        QVERIFY2(SameBytes(data, static_cast<qsizetype>(k) * kHptRecordSize + kHptDataStart,
                           pass.packets[k], kPacketDataStart, kPacketDataEnd),
                 qPrintable(QString("pass %1 (seed %2), record %3").arg(i).arg(seed).arg(k)));
      }
      QVERIFY(QFile::remove(name));
      QVERIFY(QFile::remove(product));
      if (i == 0) first_peak = PeakRssKiB();
    }
    CheckGrowth("MetOp", first_peak);
  }

  void Fy3Passes() {
    SetTicked(Control<QCheckBox>(&form(), "PNdecoding"), true);
    SetTicked(Control<QCheckBox>(&form(), "RSolomon"), true);
    const int channels[] = {5, 9, 3};
    qInfo("FY-3: seeds %llu + pass", static_cast<unsigned long long>(kFy3Seed));
    long first_peak = 0;
    for (int i = 0; i < kPassesPerFamily; ++i) {
      const char satellite = "ABC"[i % 3];
      const int vcid = channels[(i / 3) % 3];
      const uint64_t seed = kFy3Seed + i;
      // The instrument's channel is chosen in the FY-3 dialog.
      Control<QAction>(&form(), "FY3A3B1")->trigger();
      auto* radio =
          Control<QRadioButton>(forms_->FY3x_settings, qPrintable(QString("VCID%1").arg(vcid)));
      // On the button's round mark, which takes clicks whatever the caption's width.
      QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(kMarkX, radio->height() / 2));
      QTest::mouseClick(Control<QPushButton>(forms_->FY3x_settings, "Button_OK"), Qt::LeftButton);
      QVERIFY(!forms_->FY3x_settings->isVisible());
      QCOMPARE(form().Fy3Vcid(), vcid);

      sim::Fy3Options options;
      options.satellite = satellite;
      options.lines = kFy3Lines;
      options.vcid = vcid;
      const sim::Fy3Pass pass = sim::MakeFy3Pass(options, {}, {}, seed);
      const QString name = QString("FY3%1_2012-12-31_052330.bin").arg(satellite);
      const QString product = QString("FY3%1_2012-12-31_0523.C10").arg(satellite);
      QVERIFY(WriteFile(name, pass.recording.bytes));

      Run(name);
      if (QTest::currentTestFailed()) return;
      const QByteArray data = ReadProduct(product);
      QVERIFY2(!pass.lines.empty(), "the pass has lines");
      QCOMPARE(data.size(), static_cast<qsizetype>(pass.lines.size()) * kC10RecordSize);
      for (size_t k = 0; k < pass.lines.size(); ++k) {
        QVERIFY2(SameBytes(data, static_cast<qsizetype>(k) * kC10RecordSize + kC10DataStart,
                           pass.lines[k], kLineDataStart, kLineDataEnd),
                 qPrintable(QString("pass %1 (seed %2, channel %3), record %4")
                                .arg(i)
                                .arg(seed)
                                .arg(vcid)
                                .arg(k)));
      }
      QVERIFY(QFile::remove(name));
      QVERIFY(QFile::remove(product));
      if (i == 0) first_peak = PeakRssKiB();
    }
    CheckGrowth("FY-3", first_peak);
  }

  void Mn2Passes() {
    qInfo("Meteor-M N2: seeds %llu + pass", static_cast<unsigned long long>(kMn2Seed));
    long first_peak = 0;
    for (int i = 0; i < kPassesPerFamily; ++i) {
      const bool manchester = i % 2 == 1;
      const uint64_t seed = kMn2Seed + i;
      // The stream has neither randomisation nor Reed-Solomon; Manchester coding is set in the
      // Meteor dialog.
      SetTicked(Control<QCheckBox>(&form(), "PNdecoding"), false);
      SetTicked(Control<QCheckBox>(&form(), "RSolomon"), false);
      Control<QAction>(&form(), "MeteorMNx")->trigger();
      SetTicked(Control<QCheckBox>(forms_->Meteor_settings, "Manchester_box"), manchester);
      QTest::mouseClick(Control<QPushButton>(forms_->Meteor_settings, "Button1"), Qt::LeftButton);
      QVERIFY(!forms_->Meteor_settings->isVisible());
      QCOMPARE(form().Manchester_box(), manchester);

      sim::Mn2Options options;
      options.lines = kMn2Lines;
      options.manchester = manchester;
      const sim::Mn2Pass pass = sim::MakeMn2Pass(options, {}, seed);
      const QString name = "MN2_20181231_101530.bin";
      const QString product = "20181231_1015_MN2.dat";
      QVERIFY(WriteFile(name, pass.recording.bytes));

      Run(name);
      if (QTest::currentTestFailed()) return;
      const QByteArray data = ReadProduct(product);
      const auto records = static_cast<qsizetype>(pass.lines.size());
      QVERIFY(records > 0);
      // The header record, then one record per line.
      QCOMPARE(data.size(), (records + 1) * kDatRecordSize);
      QVERIFY2(data.startsWith(kDatHeaderId),
               qPrintable(QString("pass %1 (seed %2, %3)")
                              .arg(i)
                              .arg(seed)
                              .arg(manchester ? "Manchester" : "plain")));
      for (qsizetype k = 0; k <= records; ++k) {
        QVERIFY2(data.mid(k * kDatRecordSize + kDatFrameMarkerAt,
                          static_cast<qsizetype>(std::strlen(kDatFrameMarker))) == kDatFrameMarker,
                 qPrintable(QString("pass %1 (seed %2), record %3").arg(i).arg(seed).arg(k)));
      }
      QVERIFY(QFile::remove(name));
      QVERIFY(QFile::remove(product));
      if (i == 0) first_peak = PeakRssKiB();
    }
    CheckGrowth("Meteor-M N2", first_peak);
  }

 private:
  TForm1& form() { return *forms_->Form1; }

  // The product's bytes; when there are none the run's log is shown, to tell why.
  QByteArray ReadProduct(const QString& product) {
    const QByteArray data = ReadFile(product);
    if (data.isEmpty()) {
      qWarning("%s is empty or missing; the log:\n%s", qPrintable(product),
               qPrintable(LogLines(form()).join('\n')));
    }
    return data;
  }

  // Clears the log, types the recording's path into the input field and clicks Process; checks
  // the run ended normally, the log holds this run's lines only and Process is usable again.
  void Run(const QString& name) {
    auto* memo = Control<QPlainTextEdit>(&form(), "Memo1");
    QTest::mouseDClick(memo->viewport(), Qt::LeftButton);
    QVERIFY(memo->toPlainText().isEmpty());
    auto* input = Control<QLineEdit>(&form(), "AsmIn1Edit");
    input->setFocus();
    input->selectAll();
    QTest::keyClick(input, Qt::Key_Backspace);
    QTest::keyClicks(input, folder_->Path() + '/' + name);
    QCOMPARE(input->text(), folder_->Path() + '/' + name);

    auto* process = Control<QPushButton>(&form(), "ASMButton");
    QVERIFY(process->isEnabled());
    QTest::mouseClick(process, Qt::LeftButton);
    QVERIFY(process->isEnabled());
    QVERIFY(form().LastOutcome().recognised);
    QVERIFY2(!form().LastOutcome().failed, form().LastOutcome().error.c_str());
    QVERIFY(OpenMessages(&form()).isEmpty());
    const QStringList lines = LogLines(form());
    QVERIFY(!lines.isEmpty());
    QVERIFY(lines.size() < kMostLogLinesPerPass);
    QCOMPARE(lines.last(), QString(kLastLogLine));
    QCOMPARE(lines.count(kLastLogLine), 1);
  }

  void CheckGrowth(const char* family, long first_peak) {
    const long last_peak = PeakRssKiB();
    qInfo("%s: peak RSS after the first pass %ld KiB, after pass %d %ld KiB", family, first_peak,
          kPassesPerFamily, last_peak);
    QVERIFY(first_peak > 0);
    if (!kMemoryIsMeasurable) {
      qInfo("AddressSanitizer build: memory growth not judged");
      return;
    }
    QVERIFY2(
        last_peak - first_peak < kAllowedGrowthKiB,
        qPrintable(QString("%1: peak RSS grew %2 KiB").arg(family).arg(last_peak - first_peak)));
  }

  std::unique_ptr<WorkingFolder> folder_;
  std::unique_ptr<Forms> forms_;
};

}  // namespace vantrel::testing

QTEST_MAIN(vantrel::testing::WindowSoakTest)
#include "window_soak_test.moc"
