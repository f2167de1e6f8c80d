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

// Ends the run after a stage that could not read all of its input or write all of its output:
// the stages behind it would make a partial product that looks finished. Throws StageError naming
// the file; does nothing when both went well.
void EndRunIfDataLost(bool read_failed, std::string_view input_path, bool written,
                      std::string_view output_path);

}  // namespace vantrel
