// The window program itself in batch mode where nobody can look at it: every run ends the
// program, one without a product with exit status 1 and the reason on standard error. Each run
// has a deadline, so that a program that waits for a reader fails the test instead of hanging it.
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
