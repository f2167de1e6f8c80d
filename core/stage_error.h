#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace vantrel {

// An error that ends the run: a setting a stage cannot use, a date that is not a date. The stage
// that throws it has its files closed by their owners; the driver logs the message and ends the
// run ready for the next one.
class StageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The one ending of every message that stops a run: `reason` + ": the run ends here."
std::string RunEndsHere(std::string_view reason);

// The run was asked to stop (Ctrl-C, SIGTERM, the window closed during a run). Thrown from the
// host's event pump at the next record, so that every file is closed by its owner on the way out.
class RunCancelled : public StageError {
 public:
  // `signal_number` is the signal that asked, or 0 when the user did.
  explicit RunCancelled(int signal_number);
  int signal_number() const { return signal_number_; }

 private:
  int signal_number_;
};

}  // namespace vantrel
