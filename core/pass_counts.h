#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>

namespace vantrel {

// When a product line was taken: days since 1 January 2000 and the millisecond of the day.
struct LineTime {
  int64_t days_since_2000 = 0;
  int64_t ms_of_day = 0;
};

// What the soft-symbol stage did with a soft-symbol recording.
struct SoftSymbolCounts {
  int64_t symbols = 0;      // soft values read
  std::string lock;         // how the first lock was found; empty when none was (or none needed)
  int64_t locks_lost = 0;   // times the lock was lost mid-pass
  double channel_ber = -1;  // channel bit error rate estimated by re-encoding; < 0: not measured
  int64_t bits = 0;         // decoded bits written for the CADU stage
};

// What the demodulation stage made of a baseband recording.
struct BasebandCounts {
  bool demodulated = false;        // the recording was read to its end (the counts below are whole)
  std::string format;              // the samples' format ("cs16", "cu8", ...); empty: not known
  int64_t sample_rate = 0;         // samples per second; 0: not known
  int64_t bytes_read = -1;         // bytes of the file read (header, samples); < 0: not known
  int64_t file_bytes = -1;         // bytes the file holds; < 0: not known (a stream)
  int64_t samples = 0;             // complex samples read
  double locked_seconds = 0;       // seconds of the recording with the lock held
  double first_lock_seconds = -1;  // when the lock was first taken; < 0: never
  double best_snr_db = 0;          // the best one-second Es/N0 while locked (when locked at all)
  double min_offset_hz = 0;        // the carrier offsets while locked (when locked at all)
  double max_offset_hz = 0;
  int64_t locks_lost = 0;   // times the lock was lost
  int64_t soft_values = 0;  // soft values written for the soft-symbol stage
};

// The product lines whose bit error rate, estimated from the sync markers of the frames that
// carried them, passes a threshold: lines kept although mostly noise (Meteor-M has no error
// correction to drop them). Line numbers count the product's lines from 1.
struct NoisyLineCounts {
  double threshold = 0;  // the estimated bit error rate above which a line is noisy
  int64_t measured = 0;  // product lines with an estimate
  int64_t noisy = 0;     // of them, lines above the threshold
  int64_t first = 0;     // the first and last noisy line (0 when none is)
  int64_t last = 0;
};

// What one run saw of the pass, for the report at its end. The driver clears it before the first
// stage; each stage adds what it counts.
struct PassCounts {
  std::string satellite;                   // the satellite the data came from ("MetOp-C"), or empty
  int64_t input_bytes = 0;                 // size of the recording
  std::optional<BasebandCounts> baseband;  // set when the recording held baseband samples
  std::optional<SoftSymbolCounts> soft;    // set when soft symbols were decoded
  int64_t cadus = 0;                       // frames the sync search accepted
  int64_t sync_losses = 0;                 // times the search fell back from lock to searching
  int64_t rs_corrected_symbols = 0;        // symbols Reed-Solomon corrected
  int64_t rs_corrected_frames = 0;         // frames with at least one corrected symbol
  int64_t rs_uncorrectable_frames = 0;     // frames with a codeword Reed-Solomon could not correct
  int64_t frames_missing = 0;              // frames of the chosen channel missing by counter gaps
  int64_t lines_dropped = 0;               // packets or lines dropped because data was lost in them
  int64_t lines_zero_filled = 0;           // lines written with zeros where data was missing
  int64_t product_lines = 0;               // lines of the product (a header record is none)
  int64_t dropped_samples = -1;  // a live input's samples lost while the chain fell behind; < 0:
                                 // not a live input
  // Set by a writer that could estimate its lines' bit error rates (their frames' marker errors
  // reached it).
  std::optional<NoisyLineCounts> noisy_lines;
  // Times of the first and last product line, where the product has times. Kept as numbers:
  // the writers note one per line, and only the report formats them.
  std::optional<LineTime> first_line_time;
  std::optional<LineTime> last_line_time;
  std::bitset<64> vcids_seen;  // virtual channels of the corrected frames
  // Uncorrectable frames' bytes were written as received, not as zeros (as the run began).
  bool keep_uncorrectable = false;
};

}  // namespace vantrel
