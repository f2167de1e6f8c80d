#include "core/product_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "core/live_source.h"
#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"

namespace vantrel {

ProductFile::ProductFile(std::string product_path)
    : path_(std::move(product_path)), temp_path_(WorkingPath(kProductTempName)) {}

ProductFile::~ProductFile() {
  if (!kept_) Discard();
}

std::string ProductFile::NameProblem() const {
  std::string reason;
  if (path_.empty()) return reason;  // named later, from the data
  const std::string kind = SpecialFileKind(path_);
  if (!kind.empty() && kind != "a symbolic link") reason = "it is " + kind;
  const size_t slash = path_.rfind('/');
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const std::string folder = name_start == 0 ? std::string(".") : path_.substr(0, name_start);
  const long name_max = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (name_max > 0 && path_.size() - name_start > static_cast<size_t>(name_max))
    reason = std::strerror(ENAMETOOLONG);
  return reason;
}

void ProductFile::Rename(StageHost& host, std::string product_path) {
  path_ = std::move(product_path);
  const std::string reason = NameProblem();
  if (!reason.empty()) {
    host.AppendLog("Open output file failed!");
    throw StageError(RunEndsHere(Format("Cannot create '%s' (%s)", path_.c_str(), reason.c_str())));
  }
}

void ProductFile::Open(StageHost& host, InputFile& input) {
  // What would make the final rename fail is refused now, before any work: a folder or special
  // file under the product's name, or a name longer than the file system takes.
  const std::string reason = NameProblem();
  if (!reason.empty()) {
    input.Close();
    host.AppendLog("Open output file failed!");
    throw StageError(RunEndsHere(Format("Cannot create '%s' (%s)", path_.c_str(), reason.c_str())));
  }
  // A product it replaces stays whole until the rename: then the new one's data go to the disk
  // as it is written rather than filling the page cache beside it. Without one, writing back as
  // it goes would only cost the run time the kernel spends later anyway.
  struct stat existing {};
  const bool replaces =
      !path_.empty() && ::stat(path_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  CreateStageOutput(host, temp_path_, output_, input);
  if (replaces) output_.StreamToDisk();
  // In a live run each line reaches the temporary file as soon as it is written, so that it can
  // be watched as the pass comes in (the window's quicklook grows with it).
  if (IsLiveInput(host.InputPath(), host.RunSettings().Follow)) output_.FlushEveryWrite();
}

bool ProductFile::Keep() {
  if (std::rename(temp_path_.c_str(), path_.c_str()) != 0) {
    error_ = std::strerror(errno);
    return false;
  }
  kept_ = true;
  return true;
}

void ProductFile::Discard() {
  output_.Close();
  ::unlink(temp_path_.c_str());
}

void FinishProduct(StageHost& host, InputFile& input, ProductFile& product, int64_t lines,
                   const std::string& done_line, std::string_view banner, bool blank_after_banner) {
  ChainState& chain = host.Chain();
  const ClosedFiles closed = CloseStageFiles(host, input, product.Output());
  host.AppendLog(done_line);
  chain.LastLineCount = 0;
  const char* path = product.Path().c_str();
  if (!closed.Complete()) {
    product.Discard();
    const std::string why = closed.write_error.empty() ? "" : " (" + closed.write_error + ")";
    throw StageError(RunEndsHere(
        Format("The product '%s' is incomplete and was not written%s", path, why.c_str())));
  }
  if (lines == 0) {
    product.Discard();
    LogLine(host, "No line found: the product '%s' was not written.", path);
    host.AppendLog("");
    host.ProcessEvents();
    return;
  }
  // The last point where a stop is taken: once the product is in place the run has done its work,
  // and a stop that comes later must not report a whole product as a stopped run.
  host.ProcessEvents();
  if (!product.Keep()) {
    throw StageError(RunEndsHere(Format("The product could not be put in place as '%s' (%s)", path,
                                        product.error_.c_str())));
  }
  constexpr int64_t kTop = std::numeric_limits<int32_t>::max();
  chain.LastLineCount = static_cast<int32_t>(lines < kTop ? lines : kTop);
  chain.Counts.product_lines = lines;
  host.AppendLog("");
  LogLine(host, "Finally, output file is '%s'", path);
  host.AppendLog("");
  host.AppendLog(std::string(banner));
  if (blank_after_banner) host.AppendLog("");
}

}  // namespace vantrel
