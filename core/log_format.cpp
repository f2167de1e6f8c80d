#include "core/log_format.h"

#include <cstdarg>
#include <cstdio>

namespace vantrel {
namespace {

std::string FormatList(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return {};
  if (static_cast<size_t>(needed) < sizeof small) return std::string(small, needed);
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(needed));
  return text;
}

}  // namespace

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatList(format, args);
  va_end(args);
  return text;
}

void LogLine(StageHost& host, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatList(format, args);
  va_end(args);
  host.AppendLog(text);
}

void AppendHexBytes(std::string& line, const uint8_t* bytes, int count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int i = 0; i < count; ++i) {
    line += kDigits[bytes[i] >> 4];
    line += kDigits[bytes[i] & 0x0F];
    line += ' ';
  }
}

std::string Asterisks(int count) {
  return std::string(static_cast<size_t>(count), '*');
}

void LogSummary(StageHost& host, const std::string& done_line, const std::string& file_line,
                int stars) {
  host.AppendLog(done_line);
  host.AppendLog("");
  host.AppendLog(file_line);
  host.AppendLog("");
  host.AppendLog(Asterisks(stars));
  host.AppendLog("");
}

}  // namespace vantrel
