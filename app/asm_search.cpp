#include "app/asm_search.h"

#include <signal.h>
#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeySequence>
#include <QMenuBar>
#include <QMessageBox>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "app/debuginfo_form.h"
#include "app/driver.h"
#include "app/form_look.h"
#include "app/fy3x_settings_form.h"
#include "app/meteor_settings_form.h"
#include "app/metop_settings_form.h"
#include "core/file_io.h"
#include "core/live_source.h"
#include "core/log_format.h"
#include "core/output_name.h"
#include "core/pass_report.h"
#include "core/product_file.h"
#include "core/recording_metadata.h"
#include "core/replacement_file.h"
#include "core/satellite.h"
#include "core/setting_ranges.h"
#include "core/settings.h"
#include "core/stage_error.h"
#include "core/working_file.h"
#include "quicklook/product_layout.h"

namespace vantrel {
namespace {

// The driver and the stages tell the operator what to change in the command line's words; the
// window shows its own controls instead.
std::string InWindowWords(std::string line) {
  static const std::pair<std::string_view, std::string_view> kWords[] = {
      {"DR_n or --no-derandomize turns it off", "untick the De-Randomization box to turn it off"},
      {"try DR_y", "tick the De-Randomization box"},
      {"try MN_y", "tick the Manchester decoder box (Meteor settings)"},
      {"as with MN_y", "as with the Manchester decoder box"},
      {"--satellite auto", "\"Satellite: auto (data)\""},
      {"give --samplerate", "give the sample rate"},
      {"a wrong --samplerate", "a wrong sample rate"},
      {"--input, --baseband-format and --samplerate tell otherwise",
       "the input box and the sample rate tell otherwise"},
      {"give --baseband-format (cs16, cs8, cu8 or cf32) or name", "name"},
  };
  for (const auto& [command_line, window] : kWords) {
    for (size_t at = line.find(command_line); at != std::string::npos;
         at = line.find(command_line, at + window.size()))
      line.replace(at, command_line.size(), window);
  }
  return line;
}

// What a recording holds, as the window's input box shows it ("hard", "soft", "baseband"): what its
// name says, else what its first MiB look like, else hard bits.
std::string KindOfRecording(const std::string& path) {
  const std::string slash_name = path.substr(path.rfind('/') + 1);
  if (slash_name.ends_with(".sigmf-meta") || slash_name.ends_with(".sigmf-data") ||
      slash_name.ends_with(".sdriq"))
    return "baseband";
  const RecordingMetadata named = MetadataFromName(path);
  if (named.kind == "soft" || named.kind == "baseband") return named.kind;
  if (named.kind == "hard" && FindMarker(path) != nullptr) return "hard";
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return "hard";
  InputFile file;
  if (!file.Open(path)) return "hard";
  std::vector<uint8_t> start(size_t{1} << 20);
  start.resize(file.Read(start.data(), start.size()));
  const ContentGuess guess = GuessRecordingContent(start);
  return guess.kind.empty() ? "hard" : guess.kind;
}

// The design's client area; the controls above the log keep their design places in its top.
constexpr int kClientWidth = 561;
constexpr int kClientHeight = 312;
constexpr int kHeaderHeight = 72;
constexpr int kMargin = 8;
constexpr int kLogToBar = 7;
constexpr int kBarHeight = 16;
// The quicklook beside the design's area at the start.
constexpr int kQuicklookWidth = 280;

const char* const kSizeCaptionUnknown = "File size -------- bytes";
// The progress bar's text: the running stage and its percentage, or the percentage alone.
const char* const kIdleProgressFormat = "%p%";
// A product's time stamp may lag the clock read before the run by the file system's coarse clock.
constexpr int kProgressTimerMs = 200;
constexpr int kCommandLineDelayMs = 500;
// The exit status of a batch run that wrote no product where nobody can look.
constexpr int kExitNoProduct = 1;
constexpr int kExitProduct = 0;
// A batch run stopped by a signal exits as a shell reports a process that signal killed.
constexpr int kExitSignalBase = 128;

// The stop signal that came during the batch run (0: none yet); the event pump reads it.
volatile std::sig_atomic_t batch_stop_signal = 0;

extern "C" void RecordBatchStopSignal(int signal_number) {
  batch_stop_signal = signal_number;
}

// SIGINT and SIGTERM during the batch run ask it to stop at its next record; a second one ends
// the program at once (the default action comes back). A signal ignored at the start stays
// ignored. Outside the run the default actions hold.
void CatchStopSignals(bool catching) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = catching ? RecordBatchStopSignal : SIG_DFL;
    action.sa_flags = catching ? SA_RESETHAND : 0;
    sigaction(signal_number, &action, nullptr);
  }
}

// Event pump: run pending events at most this often, and read the clock about this often.
constexpr qint64 kPumpIntervalNs = 30'000'000;
constexpr qint64 kClockCheckSpacingNs = 1'000'000;
constexpr int kLargestPumpStride = 1 << 16;

const char* const kOpenFilter =
    "Any file  (*.*);;Rx output  (*.bin);;Rx output  (*.dat);;CADU files (*.cad);;"
    "Soft symbols (*.soft *.s);;Baseband I/Q (*.wav *.cs16 *.cs8 *.cu8 *.cf32)";
// The second entry of the filter: receiver output (*.bin).
constexpr int kOpenFilterIndex = 2;
const char* const kOpenFolder = "D:/RAW";
const char* const kOpenFileName = "*.bin";

// Command-line parameters by position (after the program name).
constexpr int kParameterFile = 0;
constexpr int kParameterDerandomise = 1;
constexpr int kParameterReedSolomon = 2;
constexpr int kParameterManchester = 3;
constexpr int kParameterNightApid = 4;

int ClampToInt(int64_t value) {
  return static_cast<int>(
      std::clamp<int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// Applies a "yes"/"no" switch exactly as written; any other text leaves the setting alone.
template <typename Set>
void ApplySwitch(const QString& value, const char* yes, const char* no, Set set) {
  if (value == QLatin1String(yes)) set(true);
  if (value == QLatin1String(no)) set(false);
}

}  // namespace

void TMemo::mouseDoubleClickEvent(QMouseEvent* /*event*/) {
  if (on_double_click) on_double_click();
}

TForm1::TForm1(const QStringList& parameters, QWidget* parent)
    : QMainWindow(parent), parameters_(parameters) {
  setObjectName("Form1");
  setWindowTitle(kApplicationTitle);
  ApplySkyBlue(this);

  input_edit_.setObjectName("AsmIn1Edit");
  input_edit_.setText("D:\\RAW\\cadu.bin");
  input_edit_.setGeometry(40, 8, 273, 21);
  MakeBold(input_edit_);

  process_button_.setObjectName("ASMButton");
  process_button_.setText("Process");
  process_button_.setGeometry(456, 24, 75, 25);
  MakeBold(process_button_);
  connect(&process_button_, &QPushButton::clicked, this, &TForm1::ASMButtonClick);
  // Enter in the path field presses Process (when it can be pressed).
  connect(&input_edit_, &QLineEdit::returnPressed, &process_button_, &QPushButton::click);

  size_label_.setObjectName("Label1");
  size_label_.setText(kSizeCaptionUnknown);
  size_label_.move(8, 48);
  size_label_.adjustSize();

  memo_.setObjectName("Memo1");
  memo_.setReadOnly(true);
  memo_.setTabChangesFocus(true);
  memo_.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo_.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo_.setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo_.on_double_click = [this] { Memo1DblClick(); };

  progress_bar_.setObjectName("ProgressBar1");
  progress_bar_.setRange(0, 100);
  progress_bar_.setValue(0);
  progress_bar_.setTextVisible(true);
  progress_bar_.setFormat(kIdleProgressFormat);
  progress_bar_.setAlignment(Qt::AlignCenter);

  pn_decoding_.setObjectName("PNdecoding");
  pn_decoding_.setText("De-Randomization");
  // Wide enough for the caption in the larger Linux fonts, short enough to clear Process.
  pn_decoding_.setGeometry(328, 8, 136, 16);
  reed_solomon_.setObjectName("RSolomon");
  reed_solomon_.setText("Reed-Solomon");
  reed_solomon_.setGeometry(328, 40, 124, 16);
  reed_solomon_.setChecked(true);
  // Between the two switches, clear of Process: the caption is short, the tool tip says it all.
  follow_box_.setObjectName("FollowBox");
  follow_box_.setText("Follow live");
  follow_box_.setAccessibleName("Follow the recording as it is written");
  follow_box_.setGeometry(328, 24, 124, 16);
  follow_box_.setToolTip(
      "Follow the recording as it is written: read it while the recorder still writes it, until "
      "NAME.part is renamed or the file has not grown for 10 s; the quicklook and the "
      "constellation grow as the pass comes in (as --follow)");

  // The satellite: the file name's marker by default, or one chosen here, or found in the data.
  // Beside the size label, clear of the design's controls; the list opens wider than the box.
  satellite_box_.setObjectName("SatelliteBox");
  satellite_box_.addItem("Satellite: file name", QString());
  for (const Satellite& satellite : Satellites())
    satellite_box_.addItem(satellite.title, QString(satellite.option));
  satellite_box_.addItem("Satellite: auto (data)", QString("auto"));
  satellite_box_.setGeometry(172, 44, 150, 22);
  satellite_box_.view()->setMinimumWidth(200);
  satellite_box_.setToolTip(
      "The satellite whose chain runs: the marker in the file name (MetopB_, "
      "FY3A_, MN23_, ...), the one chosen, or the one the data show");

  // What the recording holds: hard bits or an SDR demodulator's soft symbols. Beside the path,
  // above Process; set from the extension whenever the path changes, and changed by hand after.
  input_kind_box_.setObjectName("InputKindBox");
  input_kind_box_.addItem("Hard bits", QString("hard"));
  input_kind_box_.addItem("Soft symbols", QString("soft"));
  input_kind_box_.addItem("Baseband (I/Q)", QString("baseband"));
  input_kind_box_.setGeometry(468, 3, 88, 20);
  input_kind_box_.view()->setMinimumWidth(110);
  input_kind_box_.setToolTip(
      "What the recording holds: hard bits (.bin, ...), soft symbols (.soft, .s) or an SDR's I/Q "
      "samples (.wav, .cs16, .s16, .cf32, .sigmf-meta, .sdriq, ...), set from the file's name, or "
      "from its first bytes when the name does not tell");
  connect(&input_edit_, &QLineEdit::textChanged, this, [this](const QString& path) {
    const int kind =
        input_kind_box_.findData(QString::fromStdString(KindOfRecording(path.toStdString())));
    input_kind_box_.setCurrentIndex(std::max(kind, 0));
  });
  // Under the kind, beside Process's foot: only a baseband recording needs it.
  sample_rate_edit_.setObjectName("SampleRateEdit");
  sample_rate_edit_.setGeometry(468, 52, 88, 18);
  sample_rate_edit_.setPlaceholderText("samples/s");
  sample_rate_edit_.setValidator(new QIntValidator(1, kSampleRateRange.high, &sample_rate_edit_));
  sample_rate_edit_.setToolTip(
      "Baseband: the recording's samples per second (a WAV file's header says it; raw samples "
      "need it)");
  sample_rate_edit_.setEnabled(false);
  connect(&input_kind_box_, &QComboBox::currentIndexChanged, this, [this](int) {
    sample_rate_edit_.setEnabled(input_kind_box_.currentData().toString() == "baseband");
  });

  led_.setObjectName("iLed");
  led_.setGeometry(12, 11, 15, 15);
  led_.setToolTip("ASM synchronizations.");

  open_dialog_.setObjectName("OpenDialog1");
  open_dialog_.setFileMode(QFileDialog::ExistingFile);
  open_dialog_.setAcceptMode(QFileDialog::AcceptOpen);
  open_dialog_.setDefaultSuffix("bin");
  open_dialog_.setNameFilters(QString(kOpenFilter).split(";;"));
  open_dialog_.selectNameFilter(open_dialog_.nameFilters().value(kOpenFilterIndex - 1));

  timer1_.setObjectName("Timer1");
  timer1_.setInterval(kProgressTimerMs);
  connect(&timer1_, &QTimer::timeout, this, &TForm1::Timer1Timer);
  timer1_.start();
  timer_command_line_.setObjectName("TimerCommLine");
  timer_command_line_.setInterval(kCommandLineDelayMs);
  timer_command_line_.setSingleShot(true);
  connect(&timer_command_line_, &QTimer::timeout, this, &TForm1::TimerCommLineTimer);

  CreateMenu();
  LayOut();
  pump_clock_.start();
  FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::CreateMenu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName("MainMenu1");
  QMenu* file = bar->addMenu("&File");
  file->setObjectName("File1");
  QAction* open = file->addAction("&Open...", this, &TForm1::Open1Click);
  open->setObjectName("Open1");
  open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  file->addSeparator();
  QAction* exit = file->addAction("E&xit", this, &TForm1::Exit1Click);
  exit->setObjectName("Exit1");
  exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  QMenu* settings = bar->addMenu("&Settings");
  settings->setObjectName("Settings1");
  settings->addAction("&MetOp-A/B", this, &TForm1::MetopA1Click)->setObjectName("MetopA1");
  settings->addAction("&FY3A/3B", this, &TForm1::FY3A3B1Click)->setObjectName("FY3A3B1");
  settings->addAction("M&eteorMN2", this, &TForm1::MeteorMNxClick)->setObjectName("MeteorMNx");
  settings->addSeparator();
  settings->addAction("&Debug", this, &TForm1::DebugInfo1Click)->setObjectName("DebugInfo1");
  bar->addAction("&About", this, &TForm1::About1Click)->setObjectName("About1");
}

void TForm1::LayOut() {
  // The top controls keep their design places; the log and the bar take the rest of the area
  // and grow with it.
  client_.setObjectName("Form1Client");
  header_.setFixedHeight(kHeaderHeight);
  header_.setMinimumWidth(kClientWidth);
  auto* body = new QVBoxLayout;
  body->setContentsMargins(kMargin, 0, kMargin, 0);
  body->setSpacing(kLogToBar);
  auto* log_row = new QHBoxLayout;
  log_row->setSpacing(kMargin);
  log_row->addWidget(&memo_, 1);
  log_row->addWidget(&signal_panel_);
  body->addLayout(log_row, 1);
  progress_bar_.setFixedHeight(kBarHeight);
  body->addWidget(&progress_bar_);
  auto* area = new QVBoxLayout(&client_);
  area->setContentsMargins(0, 0, 0, kMargin);
  area->setSpacing(0);
  area->addWidget(&header_);
  area->addLayout(body, 1);

  splitter_.setObjectName("Form1Splitter");
  splitter_.addWidget(&client_);
  splitter_.addWidget(&quicklook_);
  splitter_.setChildrenCollapsible(false);
  splitter_.setStretchFactor(0, 1);
  splitter_.setStretchFactor(1, 1);
  setCentralWidget(&splitter_);
  splitter_.setSizes({kClientWidth, kQuicklookWidth});
  resize(kClientWidth + splitter_.handleWidth() + kQuicklookWidth,
         kClientHeight + menuBar()->sizeHint().height());

  // Tab order: along the top row, then Process, the log and the quicklook's channel.
  setTabOrder(&input_edit_, &input_kind_box_);
  setTabOrder(&input_kind_box_, &sample_rate_edit_);
  setTabOrder(&sample_rate_edit_, &pn_decoding_);
  setTabOrder(&pn_decoding_, &follow_box_);
  setTabOrder(&follow_box_, &reed_solomon_);
  setTabOrder(&reed_solomon_, &satellite_box_);
  setTabOrder(&satellite_box_, &process_button_);
  setTabOrder(&process_button_, &memo_);
  setTabOrder(&memo_, &quicklook_.ChannelChooser());
}

void TForm1::FormCreate() {
  const QString file = parameters_.value(kParameterFile);
  if (file.isEmpty()) return;
  // A relative name is taken from the current folder; an absolute path stands as it is.
  input_edit_.setText(QFileInfo(file).isAbsolute() ? file : QDir::currentPath() + '/' + file);
  timer_command_line_.start();
}

void TForm1::ASMButtonClick() {
  // The run works on the input it starts with, even when another file is chosen meanwhile.
  run_input_ = input_edit_.text().toStdString();
  quicklook_.Clear();
  signal_panel_.Clear();
  const bool batch_run = batch_settings_.has_value();
  const auto started = std::chrono::steady_clock::now();
  running_ = true;
  live_run_ = IsLiveInput(run_input_, CurrentSettings().Follow);
  if (batch_run) CatchStopSignals(true);
  last_outcome_ = vantrel::ProcessRecording(*this);
  if (batch_run) CatchStopSignals(false);
  running_ = false;
  // A live run without a product leaves no picture of lines that went nowhere.
  if (live_run_ && last_outcome_.product.empty()) quicklook_.Clear();
  live_run_ = false;
  batch_settings_.reset();
  stop_requested_ = false;
  stage_position_ = 0;
  progress_bar_.setFormat(kIdleProgressFormat);
  // Before the working folder moves: the product lies in the folder the run worked in.
  ShowRunQuicklook();
  if (!pending_folder_.isEmpty()) {
    QDir::setCurrent(pending_folder_);
    pending_folder_.clear();
  }
  if (batch_run) {
    const bool signalled = last_outcome_.stopped && last_outcome_.stop_signal != 0;
    const int status = signalled                     ? kExitSignalBase + last_outcome_.stop_signal
                       : last_outcome_.close_program ? kExitProduct
                                                     : kExitNoProduct;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - started + std::chrono::milliseconds(500));
    const bool reported = report_path_.empty() || WriteBatchReport(status, seconds.count());
    if (signalled) {
      // Stopped as vantrel-cli stops: the driver removed the working files and the partial
      // product; the program ends whether or not somebody can look.
      std::fprintf(stderr, "vantrel: %s\n", last_outcome_.error.c_str());
      QCoreApplication::exit(status);
      return;
    }
    if (!reported && unattended_) {
      QCoreApplication::exit(kExitNoProduct);
      return;
    }
  }
  if (close_after_run_) {
    // Closed during the run: the run has stopped and left nothing partial behind.
    close_after_run_ = false;
    close();
    return;
  }
  if (chain_.BatchMode && unattended_ && !last_outcome_.close_program) {
    // Nobody can read the log or close the window: say why on standard error and end.
    std::fprintf(stderr, "vantrel: %s\n", NoProductReason().c_str());
    QCoreApplication::exit(kExitNoProduct);
    return;
  }
  // The driver has logged the error and enabled Process again; show it as well.
  if (last_outcome_.failed) {
    ShowMessage(this, kApplicationTitle, QString::fromStdString(last_outcome_.error));
  }
  if (last_outcome_.close_program) close();
}

void TForm1::SetBatchOptions(const Settings& settings, const std::string& report_path) {
  batch_settings_ = settings;
  report_path_ = report_path;
}

void TForm1::ShowBatchSettings(const Settings& settings) {
  pn_decoding_.setChecked(settings.PNdecoding);
  reed_solomon_.setChecked(settings.RSolomon);
  if (dialogs_.meteor != nullptr) dialogs_.meteor->SetManchester_box(settings.Manchester_box);
  if (dialogs_.metop != nullptr) dialogs_.metop->SetAPID104(settings.APID104);
  const int satellite = satellite_box_.findData(QString::fromStdString(settings.Satellite));
  if (satellite >= 0) satellite_box_.setCurrentIndex(satellite);
  // Without --input the kind the file name gave stays.
  const int kind = input_kind_box_.findData(QString::fromStdString(settings.InputKind));
  if (!settings.InputKind.empty() && kind >= 0) input_kind_box_.setCurrentIndex(kind);
  if (settings.SampleRate > 0) sample_rate_edit_.setText(QString::number(settings.SampleRate));
  follow_box_.setChecked(settings.Follow);
}

bool TForm1::WriteBatchReport(int exit_status, int64_t seconds) {
  const std::string json =
      PassReportJson(chain_.Counts, last_outcome_.product, exit_status, seconds);
  // Put in place under a temporary name and a rename: the report is never partial.
  std::string error;
  if (ReplaceFileContentsUnstopped(report_path_, json, &error)) return true;
  const std::string reason = "cannot write the report '" + report_path_ + "': " + error;
  std::fprintf(stderr, "vantrel: %s\n", reason.c_str());
  AppendLog(reason);
  return false;
}

std::string TForm1::NoProductReason() const {
  if (!last_outcome_.recognised) {
    return "'" + run_input_ + "' has no satellite marker (" + MarkerList() + "): nothing was done";
  }
  if (last_outcome_.failed) return last_outcome_.error;
  return "no line found in '" + run_input_ + "': no product was written";
}

void TForm1::ShowGrowingQuicklook() {
  // The satellite, and so the product's layout, is known once the driver has chosen it.
  const Satellite* satellite = nullptr;
  try {
    satellite = &RunSatellite();
  } catch (const StageError&) {
    return;
  }
  const ProductLayout* layout = FindProductLayout(satellite->product_suffix);
  if (layout != nullptr) quicklook_.ShowGrowing(WorkingPath(kProductTempName), *layout);
}

void TForm1::ShowRunQuicklook() {
  // Only a product this run wrote: a run without a line leaves an earlier product in place.
  if (!last_outcome_.product.empty()) quicklook_.ShowProduct(last_outcome_.product);
}

void TForm1::Open1Click() {
  // The usual recordings folder when there is one, the current folder otherwise.
  const QDir folder(kOpenFolder);
  open_dialog_.setDirectory(folder.exists() ? folder.absolutePath() : QDir::currentPath());
  open_dialog_.selectFile(kOpenFileName);
  open_dialog_.selectNameFilter(open_dialog_.nameFilters().value(kOpenFilterIndex - 1));
  if (open_dialog_.exec() != QDialog::Accepted) return;
  const QStringList chosen = open_dialog_.selectedFiles();
  if (chosen.isEmpty()) return;
  const QString path = chosen.first();
  input_edit_.setText(path);
  input_edit_.setToolTip(path);
  // The size and the picture were the last file's.
  SetSizeCaption(kSizeCaptionUnknown);
  if (!running_) quicklook_.Clear();
  // The chosen file's folder becomes the current, and so the working, folder. A run in progress
  // keeps its working files where they are: the change waits for its end.
  const QString folder_of_file = QFileInfo(path).absolutePath();
  if (running_) {
    pending_folder_ = folder_of_file;
  } else {
    QDir::setCurrent(folder_of_file);
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!running_) {
    event->accept();
    return;
  }
  // The run is inside this event's caller: it cannot end here. It stops at its next record and
  // the window closes when the driver has returned.
  event->ignore();
  if (close_after_run_) return;
  const bool stop = confirm_stop ? confirm_stop()
                                 : QMessageBox::question(this, kApplicationTitle,
                                                         "A run is in progress. Stop it and close "
                                                         "the window?") == QMessageBox::Yes;
  if (!stop) return;
  stop_requested_ = true;
  close_after_run_ = true;
}

void TForm1::Exit1Click() {
  close();
}

void TForm1::MetopA1Click() {
  if (dialogs_.metop != nullptr) dialogs_.metop->ShowOrRaise();
}

void TForm1::FY3A3B1Click() {
  if (dialogs_.fy3 != nullptr) dialogs_.fy3->ShowOrRaise();
}

void TForm1::MeteorMNxClick() {
  if (dialogs_.meteor != nullptr) dialogs_.meteor->ShowOrRaise();
}

void TForm1::DebugInfo1Click() {
  if (dialogs_.debug != nullptr) dialogs_.debug->ShowOrRaise();
}

void TForm1::About1Click() {
  ShowMessage(this, "About",
              QString(kApplicationTitle) +
                  " - turns raw MetOp, FY-3 and Meteor-M N2 recordings into instrument files.");
}

void TForm1::Memo1DblClick() {
  memo_.clear();
}

void TForm1::Timer1Timer() {
  // The CADU stage moves the bar itself and leaves ProgressCount at 0; the other stages count
  // their records in ProgressCount. The larger of the two is the running stage's progress.
  progress_bar_.setValue(std::max(stage_position_, chain_.ProgressCount));
  if (running_ && live_run_) ShowGrowingQuicklook();
}

void TForm1::TimerCommLineTimer() {
  timer_command_line_.stop();
  if (batch_settings_) {
    // The parser took the switches with the options.
    ShowBatchSettings(*batch_settings_);
    chain_.BatchMode = true;
    process_button_.click();
    return;
  }
  const QStringList& p = parameters_;
  ApplySwitch(p.value(kParameterDerandomise), "DR_y", "DR_n",
              [this](bool on) { pn_decoding_.setChecked(on); });
  ApplySwitch(p.value(kParameterReedSolomon), "RS_y", "RS_n",
              [this](bool on) { reed_solomon_.setChecked(on); });
  ApplySwitch(p.value(kParameterManchester), "MN_y", "MN_n", [this](bool on) {
    if (dialogs_.meteor != nullptr) dialogs_.meteor->SetManchester_box(on);
  });
  if (p.value(kParameterNightApid) == QLatin1String("MET_n") && dialogs_.metop != nullptr) {
    dialogs_.metop->SetAPID104(true);
  }
  chain_.BatchMode = true;
  process_button_.click();
}

void TForm1::AppendLog(const std::string& line) {
  memo_.appendPlainText(QString::fromStdString(InWindowWords(line)));
}

void TForm1::SetProgressMaximum(int64_t maximum) {
  // A maximum of 0 would turn the bar into the toolkit's busy animation.
  progress_bar_.setMaximum(std::max(1, ClampToInt(maximum)));
}

void TForm1::SetProgressPosition(int64_t position) {
  stage_position_ = ClampToInt(position);
  progress_bar_.setValue(stage_position_);
}

void TForm1::SetSizeCaption(const std::string& caption) {
  size_label_.setText(QString::fromStdString(caption));
  size_label_.adjustSize();
}

bool TForm1::LampActive() const {
  return led_.Active();
}

void TForm1::SetLampActive(bool active) {
  led_.SetActive(active);
}

LampColour TForm1::GetLampColour() const {
  return led_.ActiveColour();
}

void TForm1::SetLampColour(LampColour colour) {
  led_.SetActiveColour(colour);
}

void TForm1::ProcessEvents() {
  if (batch_stop_signal != 0) {
    const int signal_number = batch_stop_signal;
    batch_stop_signal = 0;
    // On a live input the first signal is the pass's end, as on the command line: the input ends
    // and the chain makes the product of what arrived. The handler is gone by now, so a second
    // signal ends the program.
    if (EndLiveInputs(Format("signal %d asked the input to end", signal_number))) return;
    throw RunCancelled(signal_number);
  }
  if (++pump_calls_ < pump_stride_) return;
  pump_calls_ = 0;
  const qint64 now = pump_clock_.nsecsElapsed();
  const qint64 since_check = now - last_clock_check_ns_;
  last_clock_check_ns_ = now;
  // Cheap calls (a search step) get a long stride, slow ones (a large record) a short one: the
  // stride follows the measured cost at once when calls get slower and doubles at most when
  // they get cheaper.
  const qint64 fitting = pump_stride_ * kClockCheckSpacingNs / std::max<qint64>(since_check, 1);
  pump_stride_ = static_cast<int>(
      std::clamp<qint64>(fitting, 1, std::min<qint64>(pump_stride_ * 2, kLargestPumpStride)));
  if (now - last_pump_ns_ < kPumpIntervalNs) return;
  QCoreApplication::processEvents();
  if (stop_requested_) {
    stop_requested_ = false;
    throw RunCancelled(0);
  }
  // Time spent in the handlers (a dialog, a menu) counts neither for the stride nor the interval.
  last_pump_ns_ = last_clock_check_ns_ = pump_clock_.nsecsElapsed();
}

std::string TForm1::InputPathChoice() const {
  return running_ ? run_input_ : input_edit_.text().toStdString();
}

Settings TForm1::CurrentSettings() const {
  if (batch_settings_) return *batch_settings_;
  Settings settings;
  settings.PNdecoding = PNdecoding();
  settings.RSolomon = RSolomon();
  settings.VCID_Metop = VCID_Metop();
  settings.APID104 = APID104();
  settings.MPDU_header = MPDU_header();
  settings.MaxPkLen = MaxPkLen();
  settings.Fy3Vcid = Fy3Vcid();
  settings.Manchester_box = Manchester_box();
  settings.GetVCDU = GetVCDU();
  settings.GetAPID = GetAPID();
  settings.FY3ASM = FY3ASM();
  settings.Full_CADU = Full_CADU();
  settings.DFiles = DFiles();
  settings.KeepUncorrectable = KeepUncorrectable();
  settings.Satellite = SatelliteChoice();
  settings.InputKind = InputKindChoice();
  settings.SampleRate = SampleRateChoice();
  settings.Follow = FollowChoice();
  return settings;
}

std::string TForm1::InputKindChoice() const {
  return input_kind_box_.currentData().toString().toStdString();
}

int64_t TForm1::SampleRateChoice() const {
  if (input_kind_box_.currentData().toString() != "baseband") return 0;
  return sample_rate_edit_.text().toLongLong();  // empty: 0, the header's
}

void TForm1::ShowSignal(const SignalView& signal) {
  signal_panel_.Show(signal);
}

std::string TForm1::SatelliteChoice() const {
  return satellite_box_.currentData().toString().toStdString();
}

bool TForm1::FollowChoice() const {
  return follow_box_.isChecked();
}

bool TForm1::PNdecoding() const {
  return pn_decoding_.isChecked();
}

void TForm1::SetPNdecoding(bool checked) {
  pn_decoding_.setChecked(checked);
  if (batch_settings_) batch_settings_->PNdecoding = checked;
}

bool TForm1::RSolomon() const {
  return reed_solomon_.isChecked();
}

void TForm1::SetRSolomon(bool checked) {
  reed_solomon_.setChecked(checked);
  if (batch_settings_) batch_settings_->RSolomon = checked;
}

std::string TForm1::VCID_Metop() const {
  return dialogs_.metop ? dialogs_.metop->VCID_Metop().toStdString() : std::to_string(kVcidDefault);
}

bool TForm1::APID104() const {
  return dialogs_.metop ? dialogs_.metop->APID104() : Settings{}.APID104;
}

std::string TForm1::MPDU_header() const {
  return dialogs_.metop ? dialogs_.metop->MPDU_header().toStdString()
                        : std::to_string(kMpduHeaderDefault);
}

std::string TForm1::MaxPkLen() const {
  return dialogs_.metop ? dialogs_.metop->MaxPkLen().toStdString()
                        : std::to_string(kPacketLengthDefault);
}

int TForm1::Fy3Vcid() const {
  return dialogs_.fy3 ? dialogs_.fy3->Vcid() : Settings{}.Fy3Vcid;
}

bool TForm1::Manchester_box() const {
  return dialogs_.meteor ? dialogs_.meteor->Manchester_box() : Settings{}.Manchester_box;
}

bool TForm1::GetVCDU() const {
  return dialogs_.debug ? dialogs_.debug->GetVCDU() : Settings{}.GetVCDU;
}

bool TForm1::GetAPID() const {
  return dialogs_.debug ? dialogs_.debug->GetAPID() : Settings{}.GetAPID;
}

bool TForm1::FY3ASM() const {
  return dialogs_.debug ? dialogs_.debug->FY3ASM() : Settings{}.FY3ASM;
}

bool TForm1::Full_CADU() const {
  return dialogs_.debug ? dialogs_.debug->Full_CADU() : Settings{}.Full_CADU;
}

bool TForm1::DFiles() const {
  return dialogs_.debug ? dialogs_.debug->DFiles() : Settings{}.DFiles;
}

bool TForm1::KeepUncorrectable() const {
  return dialogs_.debug ? dialogs_.debug->KeepUncorrectable() : Settings{}.KeepUncorrectable;
}

void TForm1::StageStarting(std::string_view name) {
  // A live input's length is not known: no percentage, the stage reads the pass as it comes.
  progress_bar_.setFormat(QString::fromUtf8(name.data(), static_cast<int>(name.size())) +
                          (live_run_ ? ": live input" : ": %p%"));
  stage_position_ = 0;
  // A new stage calls the pump at its own pace: measure it afresh.
  pump_stride_ = 1;
  pump_calls_ = 0;
}

void TForm1::SetProcessEnabled(bool enabled) {
  process_button_.setEnabled(enabled);
}

}  // namespace vantrel
