#include <unistd.h>

#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app/form_look.h"
#include "app/forms.h"
#include "cli/command_line.h"
#include "core/version.h"
#include "core/working_file.h"

namespace {

// Reports an error that escapes an event handler in a message box; the program goes on.
class VantrelApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
      vantrel::ShowMessage(nullptr, vantrel::kApplicationTitle, error.what());
    }
    return false;
  }
};

bool Unset(const char* variable) {
  const char* value = std::getenv(variable);
  return value == nullptr || *value == '\0';
}

// A batch start (a file name as first parameter) on a machine without a display runs on the
// offscreen platform instead of failing to find one: a script can process without a desktop.
void RunOffscreenWithoutDisplay(int argc, char** argv) {
  const bool batch = argc > 1 && std::strlen(argv[1]) > 0;
  if (batch && Unset("QT_QPA_PLATFORM") && Unset("DISPLAY") && Unset("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// Platforms that show nothing to anybody.
bool NobodyCanLook() {
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

constexpr int kExitDone = 0;
constexpr int kExitNoProduct = 1;
constexpr int kExitUsage = 2;

std::string WindowUsage() {
  return "Usage: vantrel [RECORDING [DR_y|DR_n] [RS_y|RS_n] [MN_y|MN_n] [MET_n] [options]]\n"
         "\n"
         "Without a recording the window opens. With one, the window processes it at once (batch\n"
         "mode) and closes when a product was written; where nobody can look (no display) every\n"
         "run ends the program: 0 with a product, 1 without (the reason on standard error), 2 on "
         "a\n"
         "usage error, 130 or 143 when SIGINT or SIGTERM stopped the run (working files removed,\n"
         "no product left half-written; with a display too). The switches and options are\n"
         "vantrel-cli's, below, for the one recording; options no control shows (--keep-files,\n"
         "--vcid, --baseband-format, ...) hold for the batch run only. Refused by the window "
         "(exit\n"
         "2): a second recording, --output-dir, --preview, --preview-channel and -q/--quiet.\n"
         "\n" +
         vantrel::cli::UsageText();
}

// Why the window refuses a command line vantrel-cli would take; empty when it takes it.
std::string RefusedByTheWindow(const vantrel::cli::Command& command) {
  if (command.inputs.size() > 1)
    return "the window processes one recording: '" + command.inputs[1] + "' would be a second";
  if (!command.output_dir.empty())
    return "--output-dir is vantrel-cli's: the window leaves the product in the working folder";
  if (command.preview)
    return "--preview is vantrel-cli's: the window shows the product's quicklook itself";
  if (command.quiet) return "--quiet is vantrel-cli's: the window's log is in the window";
  return {};
}

// What a batch start asks for: the recording (as the window takes it) and its settings.
struct BatchStart {
  QString recording;
  vantrel::Settings settings;
  std::string report_path;
};

// Parses a batch start's parameters with vantrel-cli's parser and moves to the working folder
// -C names. Returns the exit status when the program ends here (help, version, a usage error, a
// working folder that cannot be used), else nothing and fills `start`.
std::optional<int> ParseBatchStart(int argc, char** argv, BatchStart& start) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const vantrel::cli::ParseResult parsed = vantrel::cli::ParseCommandLine(arguments);
  std::string refused = parsed.ok ? RefusedByTheWindow(parsed.command) : parsed.error;
  if (!refused.empty()) {
    std::fprintf(stderr, "vantrel: %s\n\n%s", refused.c_str(), WindowUsage().c_str());
    return kExitUsage;
  }
  const vantrel::cli::Command& command = parsed.command;
  if (command.action == vantrel::cli::Command::Action::Help) {
    std::fputs(WindowUsage().c_str(), stdout);
    return kExitDone;
  }
  if (command.action == vantrel::cli::Command::Action::Version) {
    std::printf("vantrel %s\n", vantrel::kVersion);
    return kExitDone;
  }
  for (const std::string& warning : command.warnings)
    std::fprintf(stderr, "vantrel: %s\n", warning.c_str());
  // The recording and the report are named from where the program started, before -C.
  const std::string start_folder = vantrel::WorkingFolder();
  start.recording = QString::fromStdString(command.inputs[0]);
  if (!command.report_path.empty())
    start.report_path = vantrel::cli::ResolveInput(command.report_path, start_folder);
  start.settings = command.settings;
  if (!command.work_dir.empty()) {
    start.recording =
        QString::fromStdString(vantrel::cli::ResolveInput(command.inputs[0], start_folder));
    const std::string work_dir = vantrel::cli::ResolveInput(command.work_dir, start_folder);
    std::error_code error;
    std::filesystem::create_directories(work_dir, error);
    if (error || chdir(work_dir.c_str()) != 0) {
      std::fprintf(stderr, "vantrel: cannot work in '%s': %s\n", work_dir.c_str(),
                   error ? error.message().c_str() : std::strerror(errno));
      return kExitNoProduct;
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  RunOffscreenWithoutDisplay(argc, argv);
  const bool batch = argc > 1 && std::strlen(argv[1]) > 0;
  BatchStart start;
  if (batch) {
    if (const std::optional<int> status = ParseBatchStart(argc, argv, start)) return *status;
  }
  VantrelApplication application(argc, argv);
  QApplication::setApplicationName(vantrel::kApplicationTitle);
  // A batch start hands the window the recording alone: the switches are in its settings.
  vantrel::Forms forms(batch ? QStringList{start.recording} : QApplication::arguments().mid(1));
  if (batch) forms.Form1->SetBatchOptions(start.settings, start.report_path);
  forms.Form1->SetUnattended(NobodyCanLook());
  forms.Form1->show();
  return QApplication::exec();
}
