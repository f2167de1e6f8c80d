#include "core/pass_report.h"

#include <string_view>

#include "core/log_format.h"

namespace vantrel {
namespace {

constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kMsPerDay = 86400 * kMsPerSecond;
// Days from 1 March of year 0 to 1 January 2000, in the era counting of DaysSince2000.
constexpr int64_t kDaysTo2000 = 730425;

long long Ll(int64_t value) {
  return static_cast<long long>(value);
}

// "5, 9, 63": the channels set in `seen`, or "none".
std::string ChannelList(const std::bitset<64>& seen) {
  std::string text;
  for (size_t channel = 0; channel < seen.size(); ++channel) {
    if (!seen.test(channel)) continue;
    if (!text.empty()) text += ", ";
    text += std::to_string(channel);
  }
  return text.empty() ? "none" : text;
}

// The length of the well-formed UTF-8 sequence at the start of `text` (1 to 4), or 0 when it does
// not start with one (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, cut
// short).
size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    const char c = text[0];
    const size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      // Not UTF-8: the byte as the four characters \xNN, so the text stays valid JSON and
      // valid UTF-8 and the byte can be told back.
      out += Format("\\\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      text.remove_prefix(1);
      continue;
    }
    if (c == '\\') {
      // Doubled, so that a backslash of the name is never read as the start of a \xNN.
      out += "\\\\\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += Format("\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  out += '"';
}

}  // namespace

std::vector<std::string> PassReportLines(const PassCounts& counts,
                                         const PassReportSettings& settings) {
  std::vector<std::string> lines;
  lines.push_back("Pass report:");
  lines.push_back(Format("  Input bytes %lld, CADUs found %lld, sync losses %lld",
                         Ll(counts.input_bytes), Ll(counts.cadus), Ll(counts.sync_losses)));
  if (counts.baseband && counts.baseband->demodulated) {
    const BasebandCounts& baseband = *counts.baseband;
    lines.push_back(
        Format("  Baseband %s at %lld samples/s: %lld samples, %.1f s locked, locks lost "
               "%lld",
               baseband.format.c_str(), Ll(baseband.sample_rate), Ll(baseband.samples),
               baseband.locked_seconds, Ll(baseband.locks_lost)));
    if (baseband.first_lock_seconds >= 0) {
      lines.push_back(
          Format("  Signal: first lock at %.1f s, Es/N0 at best %.1f dB, carrier "
                 "%+.1f to %+.1f kHz",
                 baseband.first_lock_seconds, baseband.best_snr_db, baseband.min_offset_hz / 1000,
                 baseband.max_offset_hz / 1000));
    }
  }
  if (counts.soft) {
    const SoftSymbolCounts& soft = *counts.soft;
    lines.push_back(Format(
        "  Soft symbols %lld, bits decoded %lld, locks lost %lld%s", Ll(soft.symbols),
        Ll(soft.bits), Ll(soft.locks_lost),
        soft.channel_ber < 0 ? ""
                             : Format(", channel bit error rate %.2e", soft.channel_ber).c_str()));
    if (!soft.lock.empty()) lines.push_back("  Lock: " + soft.lock);
  }
  lines.push_back(Format("  R-S corrected %lld symbols in %lld frames, uncorrectable frames %lld",
                         Ll(counts.rs_corrected_symbols), Ll(counts.rs_corrected_frames),
                         Ll(counts.rs_uncorrectable_frames)));
  lines.push_back(Format("  Frames missing %lld, lines dropped %lld, lines zero-filled %lld",
                         Ll(counts.frames_missing), Ll(counts.lines_dropped),
                         Ll(counts.lines_zero_filled)));
  if (counts.keep_uncorrectable) {
    lines.push_back("  Uncorrectable frames' bytes written as received, not as zeros");
  }
  lines.push_back(Format("  Product lines %lld", Ll(counts.product_lines)));
  if (counts.noisy_lines) {
    const NoisyLineCounts& noisy = *counts.noisy_lines;
    const std::string where = noisy.noisy == 0 ? std::string()
                                               : Format(": first line %lld, last line %lld",
                                                        Ll(noisy.first), Ll(noisy.last));
    lines.push_back(Format("  Noisy lines %lld (estimated bit error rate above %g%%)%s",
                           Ll(noisy.noisy), noisy.threshold * 100, where.c_str()));
  }
  if (counts.first_line_time && counts.last_line_time) {
    lines.push_back(Format("  First line %s, last line %s",
                           LineTimeText(*counts.first_line_time).c_str(),
                           LineTimeText(*counts.last_line_time).c_str()));
  }

  // Signs of a setting that does not fit the recording. Scrambled frames can pass Reed-Solomon
  // (the CCSDS sequence over a code block is itself a code block), so de-randomisation is also
  // suggested when it is off and the chosen channel never came.
  const bool channel_missing =
      settings.channel >= 0 && counts.cadus > 0 &&
      (settings.channel >= 64 || !counts.vcids_seen.test(static_cast<size_t>(settings.channel)));
  const bool all_uncorrectable =
      settings.reed_solomon && counts.cadus > 0 && counts.rs_uncorrectable_frames == counts.cadus;
  if (channel_missing) {
    lines.push_back(Format("Hint: VCID %d: none; channels seen: %s", settings.channel,
                           ChannelList(counts.vcids_seen).c_str()));
  }
  if (!settings.derandomise && (all_uncorrectable || channel_missing)) {
    lines.push_back(all_uncorrectable
                        ? "Hint: every frame was uncorrectable with de-randomisation off: try DR_y"
                        : "Hint: de-randomisation is off: try DR_y");
  }
  if (settings.meteor && !settings.manchester && !counts.soft && !counts.baseband &&
      counts.input_bytes > 0 && counts.cadus == 0) {
    lines.push_back("Hint: no CADUs found with Manchester decoding off: try MN_y");
  }
  return lines;
}

void AppendPassReport(StageHost& host, const PassReportSettings& settings) {
  host.AppendLog("");
  for (const std::string& line : PassReportLines(host.Chain().Counts, settings))
    host.AppendLog(line);
}

std::string PassReportJson(const PassCounts& counts, const std::string& product, int exit_status,
                           int64_t seconds) {
  std::string json = "{";
  auto number = [&json](const char* key, int64_t value) {
    json += Format("\"%s\":%lld,", key, Ll(value));
  };
  // A string value, or null when it is empty.
  auto text = [&json](const char* key, const std::string& value) {
    json += Format("\"%s\":", key);
    if (value.empty())
      json += "null";
    else
      AppendJsonString(json, value);
    json += ",";
  };
  number("input_bytes", counts.input_bytes);
  if (counts.baseband) {
    const BasebandCounts& baseband = *counts.baseband;
    json += "\"baseband\":{";
    text("format", baseband.format);
    // What a run that failed before or inside demodulation did not learn is null.
    auto known = [&json](const char* key, int64_t value, bool is_known) {
      json += is_known ? Format("\"%s\":%lld,", key, Ll(value)) : Format("\"%s\":null,", key);
    };
    known("sample_rate", baseband.sample_rate, baseband.sample_rate > 0);
    known("bytes_read", baseband.bytes_read, baseband.bytes_read >= 0);
    known("file_bytes", baseband.file_bytes, baseband.file_bytes >= 0);
    number("samples", baseband.samples);
    json += Format("\"locked_seconds\":%.3f,", baseband.locked_seconds);
    if (baseband.first_lock_seconds < 0) {
      json +=
          "\"first_lock_seconds\":null,\"best_snr_db\":null,\"min_offset_hz\":null,"
          "\"max_offset_hz\":null,";
    } else {
      json += Format(
          "\"first_lock_seconds\":%.3f,\"best_snr_db\":%.2f,\"min_offset_hz\":%.1f,"
          "\"max_offset_hz\":%.1f,",
          baseband.first_lock_seconds, baseband.best_snr_db, baseband.min_offset_hz,
          baseband.max_offset_hz);
    }
    number("locks_lost", baseband.locks_lost);
    json += Format("\"soft_values\":%lld},", Ll(baseband.soft_values));
  }
  if (counts.soft) {
    const SoftSymbolCounts& soft = *counts.soft;
    json += "\"soft_symbols\":{";
    number("symbols", soft.symbols);
    text("lock", soft.lock);
    number("locks_lost", soft.locks_lost);
    if (soft.channel_ber < 0)
      json += "\"channel_ber\":null,";
    else
      json += Format("\"channel_ber\":%.3e,", soft.channel_ber);
    json += Format("\"bits\":%lld},", Ll(soft.bits));
  }
  number("cadus", counts.cadus);
  number("sync_losses", counts.sync_losses);
  number("rs_corrected_symbols", counts.rs_corrected_symbols);
  number("rs_corrected_frames", counts.rs_corrected_frames);
  number("rs_uncorrectable_frames", counts.rs_uncorrectable_frames);
  number("frames_missing", counts.frames_missing);
  number("lines_dropped", counts.lines_dropped);
  number("lines_zero_filled", counts.lines_zero_filled);
  json += Format("\"keep_uncorrectable\":%s,", counts.keep_uncorrectable ? "true" : "false");
  text("product", product);
  text("satellite", counts.satellite);
  number("product_lines", counts.product_lines);
  if (counts.dropped_samples >= 0) number("dropped_samples", counts.dropped_samples);
  if (counts.noisy_lines) {
    const NoisyLineCounts& noisy = *counts.noisy_lines;
    json += "\"noisy_lines\":{";
    number("count", noisy.noisy);
    if (noisy.noisy == 0) {
      json += "\"first\":null,\"last\":null,";
    } else {
      number("first", noisy.first);
      number("last", noisy.last);
    }
    number("measured", noisy.measured);
    json += Format("\"ber_threshold\":%g},", noisy.threshold);
  }
  number("exit_status", exit_status);
  json += Format("\"seconds\":%lld}\n", Ll(seconds));
  return json;
}

int64_t DaysSince2000(int year, int month, int day) {
  // Days from civil (eras of 400 years starting on 1 March).
  const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t year_of_era = y - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - kDaysTo2000;
}

std::string LineTimeText(int64_t days_since_2000, int64_t ms_of_day) {
  const int64_t days = days_since_2000 + ms_of_day / kMsPerDay;
  int64_t ms = ms_of_day % kMsPerDay;
  // Civil from days (the inverse of DaysSince2000).
  const int64_t z = days + kDaysTo2000;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t day_of_era = z - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  const int64_t hours = ms / 3600000;
  ms %= 3600000;
  const int64_t minutes = ms / 60000;
  ms %= 60000;
  return Format("%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%03lld", Ll(year), Ll(month), Ll(day),
                Ll(hours), Ll(minutes), Ll(ms / kMsPerSecond), Ll(ms % kMsPerSecond));
}

void NoteLineTime(PassCounts& counts, int64_t days_since_2000, int64_t ms_of_day) {
  counts.last_line_time = LineTime{days_since_2000, ms_of_day};
  if (!counts.first_line_time) counts.first_line_time = counts.last_line_time;
}

std::string LineTimeText(const LineTime& time) {
  return LineTimeText(time.days_since_2000, time.ms_of_day);
}

}  // namespace vantrel
