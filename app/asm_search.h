#pragma once

#include <functional>
#include <optional>
#include <string>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStringList>
#include <QTimer>

#include "app/driver.h"
#include "app/quicklook_panel.h"
#include "app/signal_panel.h"
#include "app/ti_led_round.h"
#include "core/stage_host.h"
#include "core/version.h"

namespace vantrel {

class TMetop_settings;
class TFY3x_settings;
class TDebugInfo;
class TMeteor_settings;

// The title the application and its main window carry.
inline constexpr const char* kApplicationTitle = "Vantrel Processor v. " VANTREL_VERSION " beta";

// The log: plain text lines, cleared by a double click.
class TMemo : public QPlainTextEdit {
  Q_OBJECT

 public:
  using QPlainTextEdit::QPlainTextEdit;
  std::function<void()> on_double_click;

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

// The main window: the input path, the options of the main window, the Process button, the sync
// lamp, the size label, the log and the progress bar, with the menu that opens the settings
// dialogs, and beside them the quicklook of the last run's product. It is the stages' host: they
// report into its log, progress bar, label and lamp, and the driver reads the input path and the
// settings from its controls and those of the dialogs (before each stage). The log, the progress
// bar and the quicklook grow with the window.
class TForm1 : public QMainWindow, public StageHost, public RunControls {
  Q_OBJECT

 public:
  // The settings dialogs the options are read from. Until they are attached the options have
  // their start-up values.
  struct Dialogs {
    TMetop_settings* metop = nullptr;
    TFY3x_settings* fy3 = nullptr;
    TDebugInfo* debug = nullptr;
    TMeteor_settings* meteor = nullptr;
  };

  // `parameters` are the command-line parameters after the program name: a file name in the
  // first one starts batch mode.
  explicit TForm1(const QStringList& parameters = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  void AttachDialogs(const Dialogs& dialogs) { dialogs_ = dialogs; }

  // Event handlers.
  void FormCreate();
  void ASMButtonClick();
  void Open1Click();
  void Exit1Click();
  void MetopA1Click();
  void FY3A3B1Click();
  void MeteorMNxClick();
  void DebugInfo1Click();
  void About1Click();
  void Memo1DblClick();
  void Timer1Timer();
  void TimerCommLineTimer();

  // StageHost.
  void AppendLog(const std::string& line) override;
  void SetProgressMaximum(int64_t maximum) override;
  void SetProgressPosition(int64_t position) override;
  void SetSizeCaption(const std::string& caption) override;
  bool LampActive() const override;
  void SetLampActive(bool active) override;
  LampColour GetLampColour() const override;
  void SetLampColour(LampColour colour) override;
  void ProcessEvents() override;
  void ShowSignal(const SignalView& signal) override;
  void SetProcessEnabled(bool enabled) override;
  void StageStarting(std::string_view name) override;

  // RunControls: the input field, and every setting as the window's controls and the dialogs'
  // hold it.
  std::string InputPathChoice() const override;
  Settings CurrentSettings() const override;
  ChainState& KeptChain() override { return chain_; }
  void SetPNdecoding(bool checked) override;
  void SetRSolomon(bool checked) override;

  // Single settings as the controls hold them (CurrentSettings reads them all).
  bool PNdecoding() const;
  bool RSolomon() const;
  std::string VCID_Metop() const;
  bool APID104() const;
  std::string MPDU_header() const;
  std::string MaxPkLen() const;
  int Fy3Vcid() const;
  bool Manchester_box() const;
  bool GetVCDU() const;
  bool GetAPID() const;
  bool FY3ASM() const;
  bool Full_CADU() const;
  bool DFiles() const;
  std::string SatelliteChoice() const;
  bool KeepUncorrectable() const;
  // The "Follow the recording as it is written" box: --follow.
  bool FollowChoice() const;
  std::string InputKindChoice() const;
  int64_t SampleRateChoice() const;

  const SignalPanel& SignalOfRun() const { return signal_panel_; }

  // The outcome of the last run of the Process button.
  const RunOutcome& LastOutcome() const { return last_outcome_; }

  QuicklookPanel& QuicklookOfRun() { return quicklook_; }

  // Asked when the window is closed during a run: true stops the run and closes the window once
  // it has ended. A question box by default.
  std::function<bool()> confirm_stop;

  // Nobody can look at the window (no display, or a platform that shows nothing): batch mode
  // then ends the program after its run whatever came of it; a run without a product says why
  // on standard error and ends it with exit status 1 instead of waiting for a reader.
  void SetUnattended(bool unattended) { unattended_ = unattended; }

  // The batch run's settings as vantrel-cli's parser made them of the command line (positional
  // switches and options), and the file its pass report goes to as JSON (empty: none). The
  // window's controls are set to show them; the batch run uses them whole, also those no control
  // shows (--keep-files, --vcid, --baseband-format, ...); runs after it read the controls again.
  // During the batch run SIGINT and SIGTERM stop it as they stop vantrel-cli's, and the program
  // then ends with 130 or 143.
  void SetBatchOptions(const Settings& settings, const std::string& report_path);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateMenu();
  void LayOut();
  // Shows the product of the run that just ended, if it wrote one.
  void ShowRunQuicklook();
  // During a live run: the product as far as it is written.
  void ShowGrowingQuicklook();
  // Why the last run wrote no product, in one line.
  std::string NoProductReason() const;
  // Shows the batch settings in the window's own controls.
  void ShowBatchSettings(const Settings& settings);
  // Writes the batch run's pass report; false, with the reason on standard error and in the log,
  // when it cannot be written.
  bool WriteBatchReport(int exit_status, int64_t seconds);

  QStringList parameters_;
  Dialogs dialogs_;
  ChainState chain_;
  RunOutcome last_outcome_;
  bool running_ = false;
  // The window was closed during a run: the run stops at its next record, then the window closes.
  bool stop_requested_ = false;
  bool close_after_run_ = false;
  bool unattended_ = false;
  // The input path of the run in progress.
  std::string run_input_;
  // The run in progress reads a live input (a followed file or a stream).
  bool live_run_ = false;
  // The batch run's settings and report file (SetBatchOptions); cleared when the batch run ends.
  std::optional<Settings> batch_settings_;
  std::string report_path_;
  // The folder of a file chosen during a run; it becomes the working folder when the run ends.
  QString pending_folder_;

  // Parents are declared before their children, so that children are destroyed first.
  QSplitter splitter_;
  // The design's client area: the controls of the top (at their design places), the log and the
  // progress bar.
  QWidget client_;
  QWidget header_{&client_};
  QLineEdit input_edit_{&header_};
  QPushButton process_button_{&header_};
  QLabel size_label_{&header_};
  QCheckBox pn_decoding_{&header_};
  QCheckBox reed_solomon_{&header_};
  // A recording still being written is read as it grows (--follow).
  QCheckBox follow_box_{&header_};
  TiLedRound led_{&header_};
  QComboBox satellite_box_{&header_};
  QComboBox input_kind_box_{&header_};
  // Baseband recordings: the sample rate when the file does not say (raw samples).
  QLineEdit sample_rate_edit_{&header_};
  TMemo memo_{&client_};
  SignalPanel signal_panel_{&client_};
  QProgressBar progress_bar_{&client_};
  QuicklookPanel quicklook_;
  QFileDialog open_dialog_{this};
  QTimer timer1_{this};
  QTimer timer_command_line_{this};
  // Where the running stage last put the bar itself (SetProgressPosition); 0 from each stage's
  // start. Timer1 keeps it rather than the record count of a stage that counts none.
  int stage_position_ = 0;

  // Event pump: the clock is read every `pump_stride_` calls, a stride that adapts so that the
  // readings stay about a millisecond apart; events run when a pump interval has passed.
  QElapsedTimer pump_clock_;
  int pump_calls_ = 0;
  int pump_stride_ = 1;
  qint64 last_clock_check_ns_ = 0;
  qint64 last_pump_ns_ = 0;
};

}  // namespace vantrel
