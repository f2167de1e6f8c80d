#pragma once

#include <cstdint>
#include <string>

#include "core/stage_host.h"

namespace vantrel {

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats one line printf-style and appends it to the host's log.
void LogLine(StageHost& host, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Appends `count` bytes of `bytes` to `line`, each as "%02X " (the listing lines of the
// debug options).
void AppendHexBytes(std::string& line, const uint8_t* bytes, int count);

// A line of `count` asterisks, the separator that ends a stage's summary.
std::string Asterisks(int count);

// The summary most stages end with: the done line, an empty line, the line that names the
// output file, an empty line, a separator of `stars` asterisks and an empty line.
void LogSummary(StageHost& host, const std::string& done_line, const std::string& file_line,
                int stars = 54);

}  // namespace vantrel
