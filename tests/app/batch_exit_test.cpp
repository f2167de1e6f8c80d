// The window program itself in batch mode where nobody can look at it: every run ends the
// program, one without a product with exit status 1 and the reason on standard error. Each run
// has a deadline, so that a program that waits for a reader fails the test instead of hanging it.
#include <signal.h>
#include <sys/file.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QtTest>

#include "sim/simulator.h"
#include "tests/app/app_test_support.h"

namespace vantrel::testing {
namespace {

// A batch run that has not ended by then waits for somebody to close the window.
constexpr int kDeadlineMs = 60000;

struct BatchRun {
  bool ended = false;
  int status = -1;
  QString error_output;
  qint64 milliseconds = 0;
};

// Runs the window program in the current folder with `parameters` and the environment `env`.
BatchRun RunWindow(const QStringList& parameters, const QProcessEnvironment& env) {
  QProcess program;
  program.setProcessEnvironment(env);
  program.setProgram(QStringLiteral(VANTREL_WINDOW));
  program.setArguments(parameters);
  QElapsedTimer clock;
  clock.start();
  program.start();
  BatchRun run;
  if (!program.waitForStarted()) return run;
  run.ended = program.waitForFinished(kDeadlineMs);
  run.milliseconds = clock.elapsed();
  if (!run.ended) {
    program.kill();
    program.waitForFinished();
    return run;
  }
  run.status = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
  run.error_output = QString::fromLocal8Bit(program.readAllStandardError());
  return run;
}

// The environment of a machine whose only platform is `platform` (none: no display at all).
QProcessEnvironment Platform(const QString& platform) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("DISPLAY");
  env.remove("WAYLAND_DISPLAY");
  env.remove("QT_QPA_PLATFORM");
  if (!platform.isEmpty()) env.insert("QT_QPA_PLATFORM", platform);
  return env;
}

void WriteBytes(const QString& name, const std::vector<uint8_t>& bytes) {
  QFile file(name);
  QVERIFY(file.open(QIODevice::WriteOnly));
  const auto size = static_cast<qint64>(bytes.size());
  QCOMPARE(file.write(reinterpret_cast<const char*>(bytes.data()), size), size);
}

void ExpectEndedWithoutProduct(const BatchRun& run, const QString& reason) {
  QVERIFY2(run.ended, "the program waited for a reader");
  QCOMPARE(run.status, 1);
  QVERIFY2(run.error_output.contains("vantrel: " + reason), qPrintable(run.error_output));
  qInfo("ended after %lld ms", static_cast<long long>(run.milliseconds));
}

// Runs `program` with `arguments` in the current folder to its end; its exit status (-1 when it
// did not end normally in time).
int RunProgram(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.setProcessEnvironment(Platform("offscreen"));
  process.start(program, arguments);
  if (!process.waitForFinished(kDeadlineMs)) {
    process.kill();
    process.waitForFinished();
    return -1;
  }
  return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QByteArray ReadAll(const QString& name) {
  QFile file(name);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class BatchExitTest : public QObject {
  Q_OBJECT

 private slots:
  void MissingRecordingEndsWithStatus1_data() {
    QTest::addColumn<QString>("platform");
    QTest::newRow("offscreen") << "offscreen";
    QTest::newRow("minimal") << "minimal";
    QTest::newRow("no display at all") << "";
  }
  void MissingRecordingEndsWithStatus1() {
    QFETCH(QString, platform);
    WorkingFolder folder;
    const BatchRun run =
        RunWindow({"MetopB_missing_101530.bin", "DR_y", "RS_y"}, Platform(platform));
    ExpectEndedWithoutProduct(run, "Cannot open '" + folder.Path() +
                                       "/MetopB_missing_101530.bin' (No such file or directory)");
  }

  void RunWithoutALineEndsWithStatus1() {
    WorkingFolder folder;
    // A recording of noise: no frame, so no line.
    WriteBytes("MetopB_20200101_000000.bin", std::vector<uint8_t>(100000, 0x55));
    const BatchRun run =
        RunWindow({"MetopB_20200101_000000.bin", "DR_y", "RS_y"}, Platform("offscreen"));
    ExpectEndedWithoutProduct(run, "no line found in '" + folder.Path() +
                                       "/MetopB_20200101_000000.bin': no product was written");
    QVERIFY(!QFileInfo::exists("MetopB_20200101_0000_M03.hpt"));
  }

  void LockedWorkingFolderEndsWithStatus1() {
    WorkingFolder folder;
    WriteBytes("MetopB_20200101_000000.bin", std::vector<uint8_t>(1000, 0x55));
    // Another run holds the working folder.
    QFile lock(".vantrel.lock");
    QVERIFY(lock.open(QIODevice::ReadWrite));
    QCOMPARE(flock(lock.handle(), LOCK_EX | LOCK_NB), 0);
    const BatchRun run =
        RunWindow({"MetopB_20200101_000000.bin", "DR_y", "RS_y"}, Platform("offscreen"));
    ExpectEndedWithoutProduct(run,
                              "Another run is using the working folder '" + folder.Path() + "'.");
  }

  void NameWithoutMarkerEndsWithStatus1() {
    WorkingFolder folder;
    const BatchRun run = RunWindow({"pass.bin", "DR_y"}, Platform("offscreen"));
    ExpectEndedWithoutProduct(run, "'" + folder.Path() + "/pass.bin' has no satellite marker");
  }

  // The window takes vantrel-cli's options after its switches: a raw I/Q recording, whose
  // name tells neither its kind nor its format, gives the CLI's product byte for byte, and the
  // JSON report.
  void RawBasebandWithOptionsGivesTheCliProduct() {
    WorkingFolder folder;
    const QString recording = "MN2_20181231_101530.raw";
    QCOMPARE(RunProgram(VANTREL_SIM, {"--sat", "mn2", "--lines", "20", "--baseband", "cs16",
                                      "--esn0", "12", "--out", recording}),
             0);
    const QStringList options = {"--input", "baseband",          "--samplerate",
                                 "3000000", "--baseband-format", "cs16"};
    QVERIFY(QDir().mkdir("cli"));
    QCOMPARE(RunProgram(VANTREL_CLI, QStringList{"-q", "-C", "cli", recording} + options), 0);
    const BatchRun run = RunWindow(QStringList{recording, "DR_n", "RS_n", "MN_n"} + options +
                                       QStringList{"-C", "window", "--report", "pass.json"},
                                   Platform("offscreen"));
    QVERIFY2(run.ended, "the program waited for a reader");
    QCOMPARE(run.status, 0);
    const QString product = "/20181231_101530.raw_MN2.dat";
    const QByteArray cli_product = ReadAll("cli" + product);
    QVERIFY(cli_product.size() > 16432);
    QCOMPARE(ReadAll("window" + product), cli_product);
    const QByteArray report = ReadAll("pass.json");
    QVERIFY2(report.contains("\"baseband\":{\"format\":\"cs16\",\"sample_rate\":3000000,"),
             report.constData());
    QVERIFY2(report.contains("\"exit_status\":0,"), report.constData());
  }

  // Options the window refuses, and usage errors, end it at once with status 2 and the reason.
  void UnusableOptionsEndWithStatus2_data() {
    QTest::addColumn<QStringList>("parameters");
    QTest::addColumn<QString>("reason");
    QTest::newRow("second recording")
        << QStringList{"MN2_a.bin", "MN2_b.bin"} << "the window processes one recording";
    QTest::newRow("output folder")
        << QStringList{"MN2_a.bin", "--output-dir", "out"} << "--output-dir is vantrel-cli's";
    QTest::newRow("preview") << QStringList{"MN2_a.bin", "--preview-channel", "2"}
                             << "--preview is vantrel-cli's";
    QTest::newRow("quiet") << QStringList{"MN2_a.bin", "-q"} << "--quiet is vantrel-cli's";
    QTest::newRow("unknown") << QStringList{"MN2_a.bin", "--fast"} << "unknown option '--fast'";
    QTest::newRow("bad rate") << QStringList{"MN2_a.bin", "--samplerate", "x"}
                              << "--samplerate takes a whole number";
  }
  void UnusableOptionsEndWithStatus2() {
    QFETCH(QStringList, parameters);
    QFETCH(QString, reason);
    WorkingFolder folder;
    const BatchRun run = RunWindow(parameters, Platform("offscreen"));
    QVERIFY2(run.ended, "the program waited for a reader");
    QCOMPARE(run.status, 2);
    QVERIFY2(run.error_output.startsWith("vantrel: " + reason), qPrintable(run.error_output));
    QVERIFY(QDir().entryList(QDir::Files | QDir::Hidden).isEmpty());
  }

  // SIGINT or SIGTERM during the batch run ends it as it ends vantrel-cli's: 130 or 143, no
  // product, no temporary product, no working file; or, when the run had finished, 0 and the
  // whole product. The signal comes as soon as the temporary product exists.
  void StopSignalEndsTheRunLikeTheCli_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("status");
    QTest::newRow("SIGTERM") << SIGTERM << 143;
    QTest::newRow("SIGINT") << SIGINT << 130;
  }
  void StopSignalEndsTheRunLikeTheCli() {
    QFETCH(int, signal);
    QFETCH(int, status);
    WorkingFolder folder;
    sim::MetopOptions options;
    options.satellite = 'B';
    options.packets = 1500;
    WriteBytes("MetopB_20181231_101530.bin",
               sim::MakeMetopPass(options, {}, {}, 20240607).recording.bytes);
    QProcess program;
    program.setProcessEnvironment(Platform("offscreen"));
    program.start(VANTREL_WINDOW, {"MetopB_20181231_101530.bin", "DR_y", "RS_y"});
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(
        QFileInfo::exists(".vantrel-product.tmp") || program.state() == QProcess::NotRunning,
        kDeadlineMs);
    if (program.state() != QProcess::NotRunning)
      ::kill(static_cast<pid_t>(program.processId()), signal);
    QVERIFY(program.waitForFinished(kDeadlineMs));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    const QString product = "MetopB_20181231_1015_M03.hpt";
    qInfo("ended with status %d", program.exitCode());
    if (program.exitCode() == 0) {
      QCOMPARE(QFileInfo(product).size(), qint64{1500} * 13864);
      QFile::remove(product);
    } else {
      QCOMPARE(program.exitCode(), status);
      const QString error = QString::fromLocal8Bit(program.readAllStandardError());
      QVERIFY2(error.contains("vantrel: Stopped by"), qPrintable(error));
      QVERIFY(!QFileInfo::exists(product));
    }
    for (const char* left : {".vantrel-product.tmp", "cadu.pds", "cvcdu.rs", "APID.pkt"})
      QVERIFY2(!QFileInfo::exists(left), left);
  }

  // On a followed recording the first SIGINT or SIGTERM is the pass's end, as for vantrel-cli: the
  // bytes already written are read, the product of them is written whole, and the status is 0.
  // The signal comes once the product's first lines are there.
  void StopSignalEndsAFollowedRecordingWithItsProduct_data() {
    StopSignalEndsTheRunLikeTheCli_data();
  }
  void StopSignalEndsAFollowedRecordingWithItsProduct() {
    QFETCH(int, signal);
    WorkingFolder folder;
    constexpr int kPackets = 40;
    sim::MetopOptions options;
    options.satellite = 'B';
    options.packets = kPackets;
    WriteBytes("MetopB_20181231_101530.bin.part",
               sim::MakeMetopPass(options, {}, {}, 20240607).recording.bytes);
    QProcess program;
    program.setProcessEnvironment(Platform("offscreen"));
    program.start(VANTREL_WINDOW, {"MetopB_20181231_101530.bin.part", "DR_y", "RS_y", "--follow",
                                   "--follow-idle", "600"});
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(".vantrel-product.tmp").size() >= 13864, kDeadlineMs);
    ::kill(static_cast<pid_t>(program.processId()), signal);
    QVERIFY(program.waitForFinished(kDeadlineMs));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(QFileInfo("MetopB_20181231_1015_M03.hpt").size(), qint64{kPackets} * 13864);
    QVERIFY(!QFileInfo::exists(".vantrel-product.tmp"));
  }

  // Without a display the batch run still works: the product is written and the status is 0.
  void ProductWithoutDisplayEndsWithStatus0() {
    WorkingFolder folder;
    sim::MetopOptions options;
    options.satellite = 'B';
    options.packets = 3;
    WriteBytes("MetopB_20181231_101530.bin",
               sim::MakeMetopPass(options, {}, {}, 20240607).recording.bytes);
    const BatchRun run = RunWindow({"MetopB_20181231_101530.bin", "DR_y", "RS_y"}, Platform(""));
    QVERIFY2(run.ended, "the program waited for a reader");
    QCOMPARE(run.status, 0);
    QCOMPARE(QFileInfo("MetopB_20181231_1015_M03.hpt").size(), qint64{3 * 13864});
  }
};

}  // namespace vantrel::testing

QTEST_MAIN(vantrel::testing::BatchExitTest)
#include "batch_exit_test.moc"
