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

// Converts a settings text to an integer the way the settings fields are read: optional blanks
// around an optionally signed run of decimal digits. Throws StageError naming the setting and
// the text when it is not a whole number or does not fit 32 bits.
int ParseSettingInteger(std::string_view setting, std::string_view text);

}  // namespace vantrel
