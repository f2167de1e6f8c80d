#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/pass_counts.h"
#include "core/stage_host.h"

namespace vantrel {

// What the report needs to know of the run's settings to tell a misconfigured pass.
struct PassReportSettings {
  bool reed_solomon = false;  // RSolomon as the run ended
  bool derandomise = false;   // PNdecoding as the run ended
  int channel = -1;           // virtual channel the chain selected; -1 when it selects none
  bool meteor = false;        // a Meteor-M N2 chain
  bool manchester = false;    // the Manchester decoder ran
};

// The summary block that ends every run: the counts, then a hint line for each sign of a
// misconfigured pass ("try DR_y", "VCID %d: none; channels seen: ...", "try MN_y").
std::vector<std::string> PassReportLines(const PassCounts& counts,
                                         const PassReportSettings& settings);

// Appends the summary block to the host's log, after an empty line.
void AppendPassReport(StageHost& host, const PassReportSettings& settings);

// The report as one compact JSON object on one line (a JSON Lines record) with the keys
// input_bytes, (for a soft-symbol recording only) soft_symbols, cadus, sync_losses,
// rs_corrected_symbols, rs_corrected_frames, rs_uncorrectable_frames, frames_missing,
// lines_dropped, lines_zero_filled, keep_uncorrectable (true or false), product (`product`, or null
// when it is empty), satellite (the one the data came from, or null), product_lines, (where the
// lines' bit error rates were estimated) noisy_lines, exit_status and seconds, in that order, and
// a final line break. noisy_lines is an object: count, first and last (line numbers from 1, or
// null when count is 0), measured (lines with an estimate) and ber_threshold. soft_symbols is an
// object: symbols (values read), lock (how the first lock was found, or null), locks_lost,
// channel_ber (estimated by re-encoding, or null when not measured) and bits (decoded bits
// written). The text is valid UTF-8 whatever the path holds: a byte of `product` or `satellite`
// that is not part of a UTF-8 character stands as the text \xNN (two lowercase hex digits), and a
// backslash as two backslashes, so the path's bytes can always be told back.
std::string PassReportJson(const PassCounts& counts, const std::string& product, int exit_status,
                           int64_t seconds);

// Time of a product line as "yyyy-mm-dd hh:mm:ss.mmm", from days since 1 January 2000 and the
// millisecond of the day (not limited to one day: a count past it runs into the next days).
std::string LineTimeText(int64_t days_since_2000, int64_t ms_of_day);

// The same, of a line time a writer noted.
std::string LineTimeText(const LineTime& time);

// Days since 1 January 2000 of a calendar date (proleptic Gregorian).
int64_t DaysSince2000(int year, int month, int day);

// Called by a final writer for every record it wrote with a time: the first time is kept, the
// last one replaced (nothing is formatted here: it runs once per line).
void NoteLineTime(PassCounts& counts, int64_t days_since_2000, int64_t ms_of_day);

}  // namespace vantrel
