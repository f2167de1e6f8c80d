#include "sync/asm_search_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rs/reed_solomon_codec.h"
#include "sim/simulator.h"
#include "sync/cadu_decoder.h"
#include "sync/cadu_extraction_stage.h"
#include "sync/window_search.h"
#include "tests/support/recording_host.h"
#include "tests/sync/cadu_streams.h"

namespace vantrel {
namespace {

using testing::Bytes;

// Records the lamp changes the engine asks for.
class LampHost : public testing::RecordingHost {
 public:
  std::vector<std::string> lamp;
  void SetLampActive(bool active) override {
    lamp.push_back(active ? "on" : "off");
    RecordingHost::SetLampActive(active);
  }
  void SetLampColour(LampColour colour) override {
    lamp.push_back(colour == LampColour::Red ? "red" : "green");
    RecordingHost::SetLampColour(colour);
  }
};

struct Options {
  bool pn = false;
  bool rs = false;
  bool full_cadu = false;
};

struct SearchRun {
  std::vector<Bytes> records;
  AsmSearchFields fields;
  int32_t uncorrectable = 0;  // frames Reed-Solomon could not correct
  std::vector<std::string> lamp;
  long lamp_events = 0;
  std::vector<int32_t> short_reads;
  // Fields after every frame (single steps only).
  std::vector<AsmSearchFields> after_frame;
};

// What the extraction stage does with the search's reports: each frame decoded as `options` say,
// the lamp driven on `host`.
class StageLikeListener : public AsmSearchListener {
 public:
  StageLikeListener(LampHost& host, ReedSolomonCodec& codec, Options options, SearchRun& run)
      : decoder_(codec), lamp_(host), run_(run) {
    decoding_.derandomise = options.pn;
    decoding_.correct = options.rs;
    decoding_.full_cadu = options.full_cadu && !options.rs;
  }
  FrameVerdict FrameCut(std::span<const uint8_t, kCaduBytes> cadu) override {
    const CaduDecoder::Result result = decoder_.Decode(cadu, decoding_);
    run_.records.emplace_back(result.record.begin(), result.record.end());
    run_.uncorrectable = decoder_.UncorrectableFrames();
    return result.uncorrectable ? FrameVerdict::kUncorrectable : FrameVerdict::kAccepted;
  }
  bool TakeEarlierFrame(std::span<const uint8_t, kCaduBytes> cadu) override {
    return decoder_.Correctable(cadu, decoding_);
  }
  void FramingChanged(bool finding_frames) override { lamp_.Show(finding_frames); }

 private:
  CaduDecoder decoder_;
  CaduDecoding decoding_;
  SyncLamp lamp_;
  SearchRun& run_;
};

// Streams `stream` through the window as the extraction stage does, fed in reads of at most
// `read_size` bytes at a time by the window's own requests.
SearchRun Search(const Bytes& stream, Options options = {},
                 Stepping stepping = Stepping::kBatched) {
  LampHost host;
  ReedSolomonCodec codec;
  ConfigureCcsdsCodec(codec);
  SearchRun run;
  SyncWindow window;
  StageLikeListener listener(host, codec, options, run);
  AsmSearchEngine engine(window, listener);
  size_t position = 0;
  const ByteSource source = [&](uint8_t* buffer, size_t size) {
    const size_t count = std::min(size, stream.size() - position);
    std::copy_n(stream.begin() + static_cast<long>(position), count, buffer);
    position += count;
    return count;
  };
  WindowSearchHooks hooks;
  hooks.short_read = [&](int32_t bytes) { run.short_reads.push_back(bytes); };
  int32_t frames = 0;
  hooks.before_steps = [&] {
    if (engine.fields().FramesFound != frames) {
      frames = engine.fields().FramesFound;
      run.after_frame.push_back(engine.fields());
    }
    return true;
  };
  SearchThroughWindow(engine, window, source, stepping, hooks);
  run.fields = engine.fields();
  run.lamp = host.lamp;
  run.lamp_events = host.events;
  return run;
}

std::vector<Bytes> Slice(const std::vector<Bytes>& bodies, size_t first, size_t end) {
  return std::vector<Bytes>(bodies.begin() + static_cast<long>(first),
                            bodies.begin() + static_cast<long>(end));
}

TEST(DerandomisationTable, FourZerosThenTheCcsdsSequence) {
  const auto& table = DerandomisationTable();
  const Bytes start(table.begin(), table.begin() + 12);
  EXPECT_EQ(start, (Bytes{0, 0, 0, 0, 0xFF, 0x48, 0x0E, 0xC0, 0x9A, 0x0D, 0x70, 0xBC}));
  // Period 255 bytes, and every bit follows a[n+8] = a[n+7] ^ a[n+5] ^ a[n+3] ^ a[n].
  for (size_t j = 4; j + 255 < table.size(); ++j) ASSERT_EQ(table[j], table[j + 255]) << j;
  auto bit = [&](size_t n) { return (table[4 + n / 8] >> (7 - n % 8)) & 1; };
  for (size_t n = 0; n + 8 < 1020 * 8; ++n)
    ASSERT_EQ(bit(n + 8), bit(n + 7) ^ bit(n + 5) ^ bit(n + 3) ^ bit(n)) << n;
}

TEST(AsmSearchEngine, BackToBackCadusGiveTheirBodiesAndLockAtTheFourth) {
  const auto bodies = testing::RandomBodies(6, 1);
  const SearchRun run = Search(testing::Cadus(bodies), {}, Stepping::kSingle);
  EXPECT_EQ(run.records, bodies);
  ASSERT_EQ(run.after_frame.size(), 6u);
  const SyncState expected[] = {SyncState::Sync, SyncState::Sync, SyncState::Sync,
                                SyncState::Lock, SyncState::Lock, SyncState::Lock};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(run.after_frame[i].SyncState, expected[i]) << "frame " << i;
    EXPECT_EQ(run.after_frame[i].RunCount, static_cast<int32_t>(i + 1));
  }
  EXPECT_EQ(run.fields.FramesFound, 6);
  EXPECT_EQ(run.fields.ConsumedBytes, 6u * 1024);
  EXPECT_EQ(run.fields.LockShift, 0);
  EXPECT_EQ(run.short_reads, (std::vector<int32_t>{0}));
}

TEST(AsmSearchEngine, EveryBitShiftIsRealigned) {
  const auto bodies = testing::RandomBodies(5, 2);
  for (int shift = 0; shift < 8; ++shift) {
    const SearchRun run = Search(testing::Delay(testing::Cadus(bodies), shift));
    EXPECT_EQ(run.records, bodies) << "shift " << shift;
    EXPECT_EQ(run.fields.SyncState, SyncState::Lock) << "shift " << shift;
    EXPECT_EQ(run.fields.LockShift, shift);
  }
}

TEST(AsmSearchEngine, InvertedStreamLosesOnlyItsFirstCadu) {
  const auto bodies = testing::RandomBodies(6, 3);
  for (int shift : {0, 5}) {
    const SearchRun run = Search(testing::Inverted(testing::Delay(testing::Cadus(bodies), shift)));
    EXPECT_EQ(run.records, Slice(bodies, 1, 6)) << "shift " << shift;
    EXPECT_EQ(run.fields.PolarityMask, 0xFF);
    EXPECT_TRUE(run.fields.inversion_pending);
  }
}

// Noise of any length before a clean pass, in either polarity and at any bit offset: every CADU
// the simulator sent comes out, and nothing else. The search starts in normal polarity and tries
// the other one from byte 1024 on, its register holding the four bytes before: an inverted
// stream whose first marker starts before byte 1020 has that CADU taken back from the one after
// it. The lengths close to multiples of 1024 are where the polarity stretches of the noise search
// meet the frames.
TEST(AsmSearchEngine, EveryCaduAfterNoiseOfAnyLengthIsFound) {
  std::vector<size_t> lengths = {1, 500, 1000, 1019, 1020, 5001, 6000};
  for (size_t n = 0; n <= 8192; n += 97) lengths.push_back(n);
  for (size_t k = 1; k <= 8; ++k) {
    for (size_t n = k * 1024 - 5; n <= k * 1024 + 5; ++n) lengths.push_back(n);
  }
  std::vector<std::vector<uint8_t>> blocks;
  for (const Bytes& vcdu : testing::RandomBodies(16, 30)) {
    blocks.push_back(sim::EncodeCodeBlock(vcdu.data()));
  }
  for (const bool invert : {false, true}) {
    for (const int shift : {0, 3}) {
      for (const size_t noise : lengths) {
        sim::Impairments impairments;
        impairments.bit_shift = shift;
        impairments.invert = invert;
        impairments.noise_before = noise;
        impairments.noise_after = 1500;
        const sim::Recording recording = sim::MakeCaduRecording(blocks, {}, impairments, noise);
        const SearchRun run = Search(recording.bytes, {.pn = true, .rs = true});
        const std::vector<Bytes>& expected = recording.frames;
        EXPECT_EQ(run.records.size(), expected.size())
            << "noise " << noise << (invert ? " inverted" : "") << " shift " << shift;
        EXPECT_EQ(run.records, expected)
            << "noise " << noise << (invert ? " inverted" : "") << " shift " << shift;
        EXPECT_EQ(run.uncorrectable, 0) << "noise " << noise;
      }
    }
  }
}

// The first CADU of a pass rises out of the noise, its marker often damaged: the search, which
// takes only an exact marker, finds the second, and the frame a CADU before it is taken when its
// marker is within 10 bit errors and Reed-Solomon corrects it, in either polarity, at any
// bit offset, right at the start of the input too. Never without correction, never a frame whose
// body Reed-Solomon refuses (nothing uncorrectable is written).
struct DamagedFirstMarker {
  const char* name;
  int marker_errors;
  size_t noise;
  int shift;
  bool invert;
  bool rs;
  bool wreck_body;  // 40 symbol errors in the first frame's first codeword
  bool first_kept;
};

class FirstCaduAfterNoise : public ::testing::TestWithParam<DamagedFirstMarker> {};

TEST_P(FirstCaduAfterNoise, IsTakenWhenReedSolomonVouchesForIt) {
  const DamagedFirstMarker& c = GetParam();
  std::vector<Bytes> blocks;
  for (const Bytes& vcdu : testing::RandomBodies(6, 31)) {
    blocks.push_back(sim::EncodeCodeBlock(vcdu.data()));
  }
  sim::Impairments impairments;
  impairments.noise_before = c.noise;
  impairments.noise_after = 1500;
  sim::CaduEncoding encoding;
  encoding.reed_solomon = c.rs;
  sim::Recording recording = sim::MakeCaduRecording(blocks, encoding, impairments, c.noise + 7);
  testing::FlipMarkerBits(recording.bytes, c.noise, c.marker_errors);
  if (c.wreck_body) {
    for (size_t j = 0; j < 40; ++j) recording.bytes[c.noise + kMarkerBytes + 4 * j] ^= 0x5A;
  }
  Bytes stream = testing::Delay(recording.bytes, c.shift);
  if (c.invert) stream = testing::Inverted(stream);

  const SearchRun run = Search(stream, {.pn = true, .rs = c.rs});
  const size_t lost = c.first_kept ? 0 : 1;
  const std::vector<Bytes> expected(recording.frames.begin() + static_cast<long>(lost),
                                    recording.frames.end());
  EXPECT_EQ(run.records, expected);
  EXPECT_EQ(run.fields.EarlierFrames, c.first_kept ? 1 : 0);
  EXPECT_EQ(run.uncorrectable, 0);
  EXPECT_EQ(run.fields.SyncLosses, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FirstCaduAfterNoise,
    ::testing::Values(
        DamagedFirstMarker{"FourErrorsAfterNoise", 4, 5000, 3, false, true, false, true},
        DamagedFirstMarker{"SixErrorsInverted", 6, 3000, 0, true, true, false, true},
        DamagedFirstMarker{"TenErrors", 10, 5000, 6, false, true, false, true},
        DamagedFirstMarker{"ElevenErrorsAreTooMany", 11, 5000, 0, false, true, false, false},
        DamagedFirstMarker{"AtTheVeryStart", 4, 0, 5, false, true, false, true},
        DamagedFirstMarker{"InvertedCloseToTheStart", 0, 500, 0, true, true, false, true},
        DamagedFirstMarker{"NothingVouchesWithoutCorrection", 4, 5000, 0, false, false, false,
                           false},
        DamagedFirstMarker{"BodyBeyondCorrection", 4, 5000, 2, false, true, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// CADUs with the given numbers of marker bit errors, searched with or without a bit shift.
SearchRun SearchWithMarkerErrors(const std::vector<Bytes>& bodies, const std::vector<int>& errors,
                                 int shift = 0) {
  Bytes stream = testing::Cadus(bodies);
  for (size_t i = 0; i < errors.size(); ++i)
    testing::FlipMarkerBits(stream, i * testing::kCadu, errors[i]);
  return Search(testing::Delay(stream, shift), {}, Stepping::kSingle);
}

TEST(AsmSearchEngine, MarkerErrorsInSearchAndSync) {
  const auto bodies = testing::RandomBodies(5, 4);
  // 0: one error (Search needs an exact marker), 1: exact, 2: six errors (Sync accepts),
  // 3: seven errors (refused), 4: exact (the next frame must be exact).
  const SearchRun run = SearchWithMarkerErrors(bodies, {1, 0, 6, 7, 0});
  EXPECT_EQ(run.records, (std::vector<Bytes>{bodies[1], bodies[2], bodies[4]}));
  ASSERT_EQ(run.after_frame.size(), 3u);
  EXPECT_EQ(run.after_frame[1].SyncState, SyncState::Sync);
  EXPECT_EQ(run.after_frame[2].RunCount, 1);
  // With one error the CADU after the refused one is lost too: ErrorScore is above 3 by then.
  const SearchRun strict = SearchWithMarkerErrors(bodies, {1, 0, 6, 7, 1});
  EXPECT_EQ(strict.records, (std::vector<Bytes>{bodies[1], bodies[2]}));
}

TEST(AsmSearchEngine, MarkerErrorsAtTheLockedOffset) {
  // 0-3 exact (the fourth locks), 4: twenty errors (accepted at the locked offset),
  // 5: twenty-one (refused), 6: exact, or with one error (refused: back in Search by then).
  const auto bodies = testing::RandomBodies(7, 5);
  for (int shift : {0, 3}) {
    const SearchRun run = SearchWithMarkerErrors(bodies, {0, 0, 0, 0, 20, 21, 0}, shift);
    EXPECT_EQ(run.records, (std::vector<Bytes>{bodies[0], bodies[1], bodies[2], bodies[3],
                                               bodies[4], bodies[6]}))
        << "shift " << shift;
    ASSERT_EQ(run.after_frame.size(), 6u);
    EXPECT_EQ(run.after_frame[4].SyncState, SyncState::Lock);
    EXPECT_EQ(run.after_frame[4].LockShift, shift);
    EXPECT_EQ(run.after_frame[5].SyncState, SyncState::Sync);
    const SearchRun strict = SearchWithMarkerErrors(bodies, {0, 0, 0, 0, 20, 21, 1}, shift);
    EXPECT_EQ(strict.records, Slice(bodies, 0, 5)) << "shift " << shift;
  }
}

TEST(AsmSearchEngine, PseudoRandomSequenceOnAndOff) {
  // Bodies of zeros scrambled with the sequence, generated here bit by bit from its recurrence
  // a[n+8] = a[n+7] ^ a[n+5] ^ a[n+3] ^ a[n], a[0..7] = 1.
  std::vector<int> bits(1020 * 8, 1);
  for (size_t n = 0; n + 8 < bits.size(); ++n)
    bits[n + 8] = bits[n + 7] ^ bits[n + 5] ^ bits[n + 3] ^ bits[n];
  Bytes sequence(1020, 0);
  for (size_t n = 0; n < bits.size(); ++n)
    sequence[n / 8] = static_cast<uint8_t>(sequence[n / 8] | bits[n] << (7 - n % 8));
  const std::vector<Bytes> scrambled(4, sequence);
  const Bytes stream = testing::Cadus(scrambled);
  EXPECT_EQ(Search(stream, {.pn = true}).records, std::vector<Bytes>(4, Bytes(1020, 0)));
  const SearchRun off = Search(stream);
  ASSERT_EQ(off.records.size(), 4u);
  EXPECT_EQ(Bytes(off.records[0].begin(), off.records[0].begin() + 8),
            (Bytes{0xFF, 0x48, 0x0E, 0xC0, 0x9A, 0x0D, 0x70, 0xBC}));
  EXPECT_EQ(off.records[3], sequence);
}

TEST(AsmSearchEngine, FullCaduRecordsKeepTheReceivedMarker) {
  const auto bodies = testing::RandomBodies(4, 6);
  Bytes stream = testing::Cadus(bodies);
  testing::FlipMarkerBits(stream, testing::kCadu, 6);
  // After noise, shifted by 6 bits: the CADUs come back realigned, marker errors included.
  Bytes shifted = testing::RandomBytes(300, 7);
  testing::Append(shifted, stream);
  const SearchRun run = Search(testing::Delay(shifted, 6), {.full_cadu = true});
  ASSERT_EQ(run.records.size(), 4u);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(run.records[i], Bytes(stream.begin() + 1024 * i, stream.begin() + 1024 * (i + 1)));
  // Inverted: polarity corrected, marker included (the first CADU is lost to the retry).
  const Bytes clean = testing::Cadus(bodies);
  const SearchRun inverted = Search(testing::Inverted(clean), {.full_cadu = true});
  ASSERT_EQ(inverted.records.size(), 3u);
  EXPECT_EQ(inverted.records[0], Bytes(clean.begin() + 1024, clean.begin() + 2048));
  // RSolomon on wins over Full_CADU: 1020-byte records.
  const SearchRun corrected = Search(stream, {.rs = true, .full_cadu = true});
  ASSERT_EQ(corrected.records.size(), 4u);
  EXPECT_EQ(corrected.records[0].size(), 1020u);
}

TEST(AsmSearchEngine, ReedSolomonCorrectsAndAnUncorrectableFrameBreaksTheLock) {
  // Nine RS frames; frame 1 has 16 errors in codeword 2 (corrected), frame 5 has 17 errors in
  // codeword 1 (uncorrectable) and 3 in codeword 3 (corrected).
  std::vector<Bytes> clean;
  for (uint64_t i = 0; i < 9; ++i)
    clean.push_back(testing::EncodeBlock(testing::RandomBytes(892, 80 + i)));
  std::vector<Bytes> sent = clean;
  testing::CorruptCodeword(sent[1], 2, 16);
  testing::CorruptCodeword(sent[5], 1, 17);
  testing::CorruptCodeword(sent[5], 3, 3);
  const SearchRun run = Search(testing::Cadus(sent), {.rs = true}, Stepping::kSingle);
  ASSERT_EQ(run.records.size(), 9u);
  for (size_t i = 0; i < 9; ++i) {
    if (i == 5) continue;
    EXPECT_EQ(run.records[i], clean[i]) << "frame " << i;
  }
  // The failed codeword stays as received, the other codewords of its frame are corrected.
  for (size_t j = 0; j < 1020; ++j) {
    const Bytes& expected = j % 4 == 1 ? sent[5] : clean[5];
    ASSERT_EQ(run.records[5][j], expected[j]) << j;
  }
  EXPECT_EQ(run.uncorrectable, 1);
  const SyncState expected[] = {SyncState::Sync, SyncState::Sync, SyncState::Sync,
                                SyncState::Lock, SyncState::Lock, SyncState::Sync,
                                SyncState::Sync, SyncState::Sync, SyncState::Lock};
  ASSERT_EQ(run.after_frame.size(), 9u);
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(run.after_frame[i].SyncState, expected[i]) << i;
  EXPECT_EQ(run.after_frame[5].RunCount, 1);
}

TEST(AsmSearchEngine, LampChangesOnlyWhenItsColourDoes) {
  Bytes stream = testing::RandomBytes(100, 8);
  testing::Append(stream, testing::Cadus(testing::RandomBodies(3, 9)));
  testing::Append(stream, testing::RandomBytes(2000, 10));
  const SearchRun run = Search(stream, {}, Stepping::kSingle);
  EXPECT_EQ(run.records.size(), 3u);
  EXPECT_EQ(run.lamp, (std::vector<std::string>{"on", "red", "green", "red"}));
  EXPECT_EQ(run.lamp_events, 3);  // events processed at each colour change only
}

TEST(AsmSearchEngine, FramesReachingPastTheInputAreNotCut) {
  const auto bodies = testing::RandomBodies(5, 11);
  const Bytes stream = testing::Cadus(bodies);
  // Last CADU two bytes short: its marker is still searched (1022 >= 1020) but not cut.
  const SearchRun cut = Search(Bytes(stream.begin(), stream.end() - 2));
  EXPECT_EQ(cut.records, Slice(bodies, 0, 4));
  EXPECT_EQ(cut.fields.FramesFound, 4);
  // Shifted by 3 bits, the last frame needs three bits of one more byte.
  const Bytes shifted = testing::Delay(stream, 3);
  EXPECT_EQ(Search(shifted).records, bodies);
  EXPECT_EQ(Search(Bytes(shifted.begin(), shifted.end() - 1)).records, Slice(bodies, 0, 4));
}

TEST(AsmSearchEngine, UnsyncedCountRestartsAboveItsLimit) {
  // Marker-free noise: every step is a position without a frame. The count climbs to 614401 and
  // the next position restarts it at 0, so it runs in cycles of 614402 positions.
  const SearchRun run = Search(testing::RandomBytes(700000, 12), {}, Stepping::kSingle);
  ASSERT_EQ(run.fields.FramesFound, 0);
  EXPECT_EQ(run.fields.SyncState, SyncState::Search);
  EXPECT_EQ(run.fields.ErrorScore, 4);
  const uint64_t positions = run.fields.ConsumedBytes - 4;  // the first step loads 4 bytes
  ASSERT_GT(positions, 614402u);
  EXPECT_EQ(static_cast<uint64_t>(run.fields.unsynced_count), positions % 614402);
}

// The stream bits with bit `at` removed (slip < 0) or a copy of it inserted (slip > 0).
Bytes Slipped(const Bytes& stream, size_t at, int slip) {
  std::vector<int> bits;
  for (uint8_t byte : stream) {
    for (int b = 7; b >= 0; --b) bits.push_back((byte >> b) & 1);
  }
  if (slip < 0) {
    bits.erase(bits.begin() + static_cast<long>(at));
  } else {
    bits.insert(bits.begin() + static_cast<long>(at), bits[at]);
  }
  while (bits.size() % 8 != 0) bits.push_back(0);
  Bytes out(bits.size() / 8, 0);
  for (size_t i = 0; i < bits.size(); ++i)
    out[i / 8] |= static_cast<uint8_t>(bits[i] << (7 - i % 8));
  return out;
}

// Streams built to reach every rule: noise, isolated markers, shifted and inverted runs, marker
// errors, truncation, RS frames with and without errors.
std::vector<Bytes> CraftedStreams() {
  std::vector<Bytes> streams;
  for (uint64_t seed = 20; seed < 24; ++seed) streams.push_back(testing::RandomBytes(150000, seed));
  streams.push_back(testing::RandomBytes(1300000, 24));  // passes the unsynced restart
  streams.push_back(Bytes(9000, 0));
  streams.push_back(Bytes(5000, 0xFF));
  std::mt19937_64 rng(25);
  for (int variant = 0; variant < 12; ++variant) {
    Bytes plain = testing::RandomBytes(rng() % 3000, rng());
    const size_t runs = 2 + rng() % 4;
    for (size_t r = 0; r < runs; ++r) {
      const size_t frames = 1 + rng() % 7;
      Bytes run = testing::Cadus(testing::RandomBodies(frames, rng() % 1000));
      for (size_t f = 0; f < frames; ++f)
        testing::FlipMarkerBits(run, f * testing::kCadu, static_cast<int>(rng() % 24));
      if (rng() % 3 == 0) run = testing::Inverted(run);
      testing::Append(plain, run);
      // An isolated exact marker, or noise, or nothing between runs.
      const uint64_t gap = rng() % 3;
      if (gap == 0) plain.insert(plain.end(), testing::kMarkerBytes, testing::kMarkerBytes + 4);
      if (gap <= 1) testing::Append(plain, testing::RandomBytes(rng() % 4000, rng()));
    }
    Bytes stream = testing::Delay(plain, static_cast<int>(rng() % 8));
    stream.resize(stream.size() - rng() % 700);
    streams.push_back(stream);
  }
  // Noise of the lengths where the polarity stretches of the noise search meet the frames, before
  // a run in either polarity, and between two runs.
  for (const size_t noise : {size_t{2046}, size_t{3073}, size_t{5120}}) {
    for (const bool invert : {false, true}) {
      Bytes stream = testing::RandomBytes(noise, noise);
      Bytes run = testing::Cadus(testing::RandomBodies(5, noise));
      testing::Append(stream, invert ? testing::Inverted(run) : run);
      testing::Append(stream, testing::RandomBytes(noise, noise + 1));
      testing::Append(stream, invert ? run : testing::Inverted(run));
      streams.push_back(stream);
    }
  }
  // Bit slips across a byte boundary while locked: an inserted bit at lock offset 7 (the frame
  // after it ends where the window slides twice) and a removed bit at lock offset 0.
  std::vector<Bytes> blocks;
  for (const Bytes& vcdu : testing::RandomBodies(12, 26)) {
    blocks.push_back(testing::EncodeBlock(Bytes(vcdu.begin(), vcdu.begin() + 892)));
  }
  const Bytes cadus = testing::Cadus(blocks);
  streams.push_back(Slipped(testing::Delay(cadus, 7), 8 * 8 * testing::kCadu + 4000 + 7, 1));
  streams.push_back(Slipped(cadus, 8 * 8 * testing::kCadu + 4000, -1));
  return streams;
}

TEST(AsmSearchEngine, BatchedStepsMatchSingleSteps) {
  const std::vector<Bytes> streams = CraftedStreams();
  for (size_t i = 0; i < streams.size(); ++i) {
    for (const Options options : {Options{}, Options{.pn = true, .rs = true}}) {
      const SearchRun single = Search(streams[i], options, Stepping::kSingle);
      const SearchRun batched = Search(streams[i], options, Stepping::kBatched);
      EXPECT_EQ(single.fields, batched.fields) << "stream " << i;
      EXPECT_EQ(single.records, batched.records) << "stream " << i;
      EXPECT_EQ(single.uncorrectable, batched.uncorrectable) << "stream " << i;
      EXPECT_EQ(single.lamp, batched.lamp) << "stream " << i;
      EXPECT_EQ(single.short_reads, batched.short_reads) << "stream " << i;
    }
  }
}

// Slips and flips in the middle of a locked pass, on buffers. What the search must give: every
// record written is one of the frames sent, in order, and the engine is locked again soon after.
// Returns the index of each record among `bodies`, -1 for a record that is none of them.
std::vector<int> RecordIndices(const SearchRun& run, const std::vector<Bytes>& bodies) {
  std::vector<int> indices;
  size_t next = 0;
  for (const Bytes& record : run.records) {
    int found = -1;
    for (size_t i = next; i < bodies.size() && found < 0; ++i) {
      if (bodies[i] == record) found = static_cast<int>(i);
    }
    indices.push_back(found);
    if (found >= 0) next = static_cast<size_t>(found) + 1;
  }
  return indices;
}

int FramesLost(const std::vector<int>& indices, size_t sent) {
  return static_cast<int>(sent) - static_cast<int>(indices.size());
}

// A phase flip (every bit inverted from a point on) while synced: right after a frame, the next
// marker is where it belongs but inverted (up to 6 bit errors), and the polarity follows it at
// once. The frame the flip falls in, half inverted, is the only record that is not a frame sent
// (Reed-Solomon would mark it uncorrectable); no frame is lost, at any bit offset.
TEST(AsmSearchEngine, PhaseFlipMidPassCostsOnlyTheFrameItFallsIn) {
  const auto bodies = testing::RandomBodies(40, 11);
  for (int delay : {0, 3, 7}) {
    for (size_t flip_frame : {size_t{6}, size_t{20}, size_t{27}}) {
      for (size_t into : {size_t{0}, size_t{300}}) {
        for (int errors : {0, 6}) {
          SCOPED_TRACE("offset " + std::to_string(delay) + " flip in frame " +
                       std::to_string(flip_frame) + " at byte " + std::to_string(into) + ", " +
                       std::to_string(errors) + " marker errors after it");
          Bytes stream = testing::Cadus(bodies);
          testing::FlipMarkerBits(stream, (flip_frame + 1) * testing::kCadu, errors);
          for (size_t i = flip_frame * testing::kCadu + into; i < stream.size(); ++i) {
            stream[i] ^= 0xFF;
          }
          const SearchRun run = Search(testing::Delay(stream, delay));
          const std::vector<int> indices = RecordIndices(run, bodies);
          const int damaged = static_cast<int>(std::count(indices.begin(), indices.end(), -1));
          EXPECT_EQ(damaged, into == 0 ? 0 : 1);
          EXPECT_EQ(FramesLost(indices, bodies.size()), 0);
          for (size_t i = 0; i < indices.size(); ++i) {
            if (indices[i] >= 0) {
              EXPECT_EQ(indices[i], static_cast<int>(i));
            }
          }
          EXPECT_EQ(run.fields.PolarityMask, 0xFF);
          EXPECT_EQ(run.fields.PhaseFlips, 1);
          EXPECT_EQ(run.fields.SyncState, SyncState::Lock);
          EXPECT_EQ(run.fields.SyncLosses, 0);
        }
      }
    }
  }
}

// Only a marker inverted within 6 bit errors, and only right after a frame, is a phase flip:
// 7 errors are left to the polarity retry after the loss of lock (frames lost on the way), and an
// inverted marker a byte later is not followed either.
TEST(AsmSearchEngine, OnlyANearlyWholeInvertedMarkerRightAfterAFrameIsAPhaseFlip) {
  const auto bodies = testing::RandomBodies(40, 11);
  constexpr size_t kFlipFrame = 20;
  {
    Bytes stream = testing::Cadus(bodies);
    testing::FlipMarkerBits(stream, kFlipFrame * testing::kCadu, 7);
    for (size_t i = kFlipFrame * testing::kCadu; i < stream.size(); ++i) stream[i] ^= 0xFF;
    const SearchRun run = Search(stream);
    EXPECT_EQ(run.fields.PhaseFlips, 0);
    EXPECT_GT(FramesLost(RecordIndices(run, bodies), bodies.size()), 0);
    EXPECT_EQ(run.fields.PolarityMask, 0xFF);  // the retry still finds the rest
  }
  {
    // One byte of filler after frame 19, then the stream inverted.
    Bytes stream = testing::Cadus(bodies);
    stream.insert(stream.begin() + kFlipFrame * testing::kCadu, 0x00);
    for (size_t i = kFlipFrame * testing::kCadu + 1; i < stream.size(); ++i) stream[i] ^= 0xFF;
    const SearchRun run = Search(stream);
    EXPECT_EQ(run.fields.PhaseFlips, 0);
  }
}

// A bit slip (one bit lost or repeated) while locked moves the marker by one bit, and the locked
// offset's wide tolerance would still take it there. An exact marker one bit away is taken
// instead, so the frames after the slip come out whole; only the frame the slip fell in is not a
// frame sent (Reed-Solomon marks it uncorrectable).
TEST(AsmSearchEngine, BitSlipWhileLockedCostsAtMostTheFrameItFellIn) {
  std::vector<Bytes> blocks;
  for (const Bytes& vcdu : testing::RandomBodies(40, 12)) {
    blocks.push_back(testing::EncodeBlock(Bytes(vcdu.begin(), vcdu.begin() + 892)));
  }
  for (bool with_rs : {false, true}) {
    Options options;
    options.rs = with_rs;
    for (int errors : {0, 3}) {  // in the next frame's marker, the one the slip moved
      for (int delay = 0; delay < 8; ++delay) {
        for (int slip : {-1, 1}) {
          // In frame 20: at its marker's first bit, inside its body, at its last bit.
          for (size_t bit : {size_t{0}, size_t{4000}, size_t{8191}}) {
            SCOPED_TRACE("Reed-Solomon " + std::to_string(with_rs) + " lock offset " +
                         std::to_string(delay) + " slip " + std::to_string(slip) + " at bit " +
                         std::to_string(bit) + ", " + std::to_string(errors) +
                         " errors in the next marker");
            Bytes cadus = testing::Cadus(blocks);
            testing::FlipMarkerBits(cadus, 21 * testing::kCadu, errors);
            const Bytes stream = testing::Delay(cadus, delay);
            const SearchRun run = Search(
                Slipped(stream, 20 * 8 * testing::kCadu + bit + static_cast<size_t>(delay), slip),
                options);
            const std::vector<int> indices = RecordIndices(run, blocks);
            const auto damaged = std::count(indices.begin(), indices.end(), -1);
            EXPECT_LE(damaged, 1);
            EXPECT_EQ(FramesLost(indices, blocks.size()), 0);
            if (with_rs) {
              EXPECT_EQ(run.uncorrectable, damaged);
            }
            EXPECT_EQ(indices.back(), 39);
            EXPECT_EQ(run.fields.SyncState, SyncState::Lock);
          }
        }
      }
    }
  }
}

// The slips that move the marker across a byte boundary: locked at offset 7, an inserted bit puts
// the next marker at offset 0 of the following byte; locked at offset 0, a removed bit puts it at
// offset 7 of the byte before. Every frame but the one the slip fell in comes out whole (cut at
// its true offset) and the lock follows the marker to its new offset, with or without
// Reed-Solomon. With no lead the frames start at window index 1024, so the frame after an
// inserted bit ends where the window has to slide twice.
TEST(AsmSearchEngine, BitSlipAcrossAByteBoundaryMovesTheLock) {
  std::vector<Bytes> blocks;
  for (const Bytes& vcdu : testing::RandomBodies(40, 13)) {
    blocks.push_back(testing::EncodeBlock(Bytes(vcdu.begin(), vcdu.begin() + 892)));
  }
  struct Case {
    int lock_offset;
    int slip;
    int new_offset;
  };
  for (const Case c : {Case{7, 1, 0}, Case{0, -1, 7}}) {
    for (bool with_rs : {false, true}) {
      for (size_t lead : {size_t{0}, size_t{300}}) {
        // In frame 20: at its marker's first bit, inside its body, at its last bit.
        for (size_t bit : {size_t{0}, size_t{4000}, size_t{8191}}) {
          SCOPED_TRACE("Reed-Solomon " + std::to_string(with_rs) + " lock offset " +
                       std::to_string(c.lock_offset) + " slip " + std::to_string(c.slip) +
                       " lead " + std::to_string(lead) + " at bit " + std::to_string(bit));
          Bytes stream(lead, 0x55);
          testing::Append(stream, testing::Cadus(blocks));
          stream = testing::Delay(stream, c.lock_offset);
          const size_t at = (lead + 20 * testing::kCadu) * 8 + bit + c.lock_offset;
          const SearchRun run = Search(Slipped(stream, at, c.slip), {.rs = with_rs});
          const std::vector<int> indices = RecordIndices(run, blocks);
          for (int i = 0; i < 40; ++i) {
            if (i == 20) continue;
            EXPECT_NE(std::find(indices.begin(), indices.end(), i), indices.end()) << i;
          }
          const auto damaged = std::count(indices.begin(), indices.end(), -1);
          EXPECT_LE(damaged, 1);
          if (with_rs) {
            EXPECT_EQ(run.uncorrectable, damaged);
          } else {
            EXPECT_EQ(run.records.size(), 40u);
          }
          EXPECT_EQ(indices.back(), 39);
          EXPECT_EQ(run.fields.SyncState, SyncState::Lock);
          EXPECT_EQ(run.fields.LockShift, c.new_offset);
        }
      }
    }
  }
}

// The engine alone, on buffers, without a host or a codec: a listener that records every report,
// keeps the CADUs as cut and calls the frames whose numbers are in `uncorrectable` uncorrectable.
class ReportLog : public AsmSearchListener {
 public:
  std::vector<Bytes> cadus;
  std::vector<std::string> reports;  // every report in order
  std::vector<std::string> states;   // the state changes alone
  std::vector<int> uncorrectable;    // frame numbers (0 first) answered as uncorrectable

  FrameVerdict FrameCut(std::span<const uint8_t, kCaduBytes> cadu) override {
    const bool bad = std::find(uncorrectable.begin(), uncorrectable.end(),
                               static_cast<int>(cadus.size())) != uncorrectable.end();
    cadus.emplace_back(cadu.begin(), cadu.end());
    reports.push_back(bad ? "frame (uncorrectable)" : "frame");
    return bad ? FrameVerdict::kUncorrectable : FrameVerdict::kAccepted;
  }
  void SyncStateEntered(SyncState from, SyncState to) override {
    states.push_back(Name(from) + ">" + Name(to));
    reports.push_back(states.back());
  }
  void FramingChanged(bool finding_frames) override {
    reports.push_back(finding_frames ? "framing" : "no frame");
  }
  void PolarityChanged(uint8_t mask, PolarityChange why) override {
    const char* reason = why == PolarityChange::kTrial        ? "trial"
                         : why == PolarityChange::kTrialEnded ? "trial ended"
                                                              : "phase flip";
    reports.push_back(std::string(mask == 0xFF ? "inverted" : "normal") + " (" + reason + ")");
  }
  void SlipFollowed(int32_t bits) override { reports.push_back(bits < 0 ? "slip -1" : "slip +1"); }

  // The reports of one kind, in order.
  std::vector<std::string> Only(const std::string& prefix) const {
    std::vector<std::string> kept;
    for (const std::string& report : reports)
      if (report.rfind(prefix, 0) == 0) kept.push_back(report);
    return kept;
  }

 private:
  static std::string Name(SyncState state) {
    switch (state) {
      case SyncState::Search:
        return "Search";
      case SyncState::Check:
        return "Check";
      case SyncState::Sync:
        return "Sync";
      case SyncState::Lock:
        break;
    }
    return "Lock";
  }
};

AsmSearchFields SearchAlone(const Bytes& stream, ReportLog& log,
                            Stepping stepping = Stepping::kBatched) {
  SyncWindow window;
  AsmSearchEngine engine(window, log);
  size_t position = 0;
  const ByteSource source = [&](uint8_t* buffer, size_t size) {
    const size_t count = std::min(size, stream.size() - position);
    std::copy_n(stream.begin() + static_cast<long>(position), count, buffer);
    position += count;
    return count;
  };
  SearchThroughWindow(engine, window, source, stepping, {});
  return engine.fields();
}

std::vector<Bytes> CadusOf(const Bytes& stream) {
  std::vector<Bytes> cadus;
  for (size_t at = 0; at + testing::kCadu <= stream.size(); at += testing::kCadu)
    cadus.emplace_back(stream.begin() + static_cast<long>(at),
                       stream.begin() + static_cast<long>(at + testing::kCadu));
  return cadus;
}

TEST(AsmSearchEngineReports, LockAtTheFourthFrameAndTheCadusAsCut) {
  const Bytes stream = testing::Cadus(testing::RandomBodies(6, 1));
  for (const Stepping stepping : {Stepping::kSingle, Stepping::kBatched}) {
    ReportLog log;
    const AsmSearchFields fields = SearchAlone(stream, log, stepping);
    // Nothing is done to a frame: marker and body as sent, nothing de-randomised or corrected.
    EXPECT_EQ(log.cadus, CadusOf(stream));
    EXPECT_EQ(log.reports,
              (std::vector<std::string>{"framing", "frame", "Search>Sync", "frame", "frame",
                                        "Sync>Lock", "frame", "frame", "frame"}));
    EXPECT_EQ(fields.FramesFound, 6);
  }
}

// Frames, then noise. The locked offset's wide tolerance takes a few noise "frames" first; then
// the lock goes to Check at the first position without a frame, the flywheel keeps it synced
// where the next frame was due, and once the misses have scored above 3 the search starts again
// (one loss of sync); after the gap limit the polarity is retried.
TEST(AsmSearchEngineReports, LossOfLockAfterTheLastFrame) {
  const Bytes sent = testing::Cadus(testing::RandomBodies(6, 2));
  Bytes stream = sent;
  testing::Append(stream, testing::RandomBytes(8000, 3));
  ReportLog log;
  const AsmSearchFields fields = SearchAlone(stream, log, Stepping::kSingle);
  ASSERT_GE(log.cadus.size(), 6u);
  EXPECT_EQ(std::vector<Bytes>(log.cadus.begin(), log.cadus.begin() + 6), CadusOf(sent));
  EXPECT_EQ(log.states, (std::vector<std::string>{"Search>Sync", "Sync>Lock", "Lock>Check",
                                                  "Check>Sync", "Sync>Check", "Check>Search"}));
  EXPECT_EQ(fields.SyncLosses, 1);
  std::vector<std::string> framing;
  for (const std::string& report : log.reports)
    if (report == "framing" || report == "no frame") framing.push_back(report);
  EXPECT_EQ(framing, (std::vector<std::string>{"framing", "no frame"}));
  ASSERT_GE(log.Only("inverted").size(), 1u);
  EXPECT_EQ(log.Only("inverted")[0], "inverted (trial)");
}

// An uncorrectable frame, as the listener judges it, breaks the lock and the run towards the next
// one: three more frames are needed to lock again. No codec is involved.
TEST(AsmSearchEngineReports, AnUncorrectableFrameBreaksTheLock) {
  const Bytes stream = testing::Cadus(testing::RandomBodies(9, 4));
  ReportLog log;
  log.uncorrectable = {5};
  SearchAlone(stream, log);
  EXPECT_EQ(log.cadus.size(), 9u);
  EXPECT_EQ(log.states,
            (std::vector<std::string>{"Search>Sync", "Sync>Lock", "Lock>Sync", "Sync>Lock"}));
  // The lock is left right after the frame was judged, and taken again at frame 8.
  const std::vector<std::string> expected_tail = {
      "frame (uncorrectable)", "Lock>Sync", "frame", "frame", "Sync>Lock", "frame"};
  EXPECT_EQ(std::vector<std::string>(log.reports.end() - 6, log.reports.end()), expected_tail);
  // Judged uncorrectable while only synced, a frame leaves the state alone.
  ReportLog early;
  early.uncorrectable = {1};
  SearchAlone(stream, early);
  EXPECT_EQ(early.states, (std::vector<std::string>{"Search>Sync", "Sync>Lock"}));
  // The run towards the lock starts again after the bad frame: the lock comes at frame 4, not 3.
  EXPECT_EQ(std::count(early.reports.begin(), early.reports.end(), "frame"), 8);
  const auto lock = std::find(early.reports.begin(), early.reports.end(), "Sync>Lock");
  EXPECT_EQ(std::count(early.reports.begin(), lock, "frame"), 3);  // frames 0, 2 and 3
}

// A phase flip while locked: the polarity follows at once, reported as such, and the frames after
// it come out in the polarity sent.
TEST(AsmSearchEngineReports, PhaseFlipIsFollowedAndReported) {
  const Bytes sent = testing::Cadus(testing::RandomBodies(10, 5));
  Bytes stream = sent;
  for (size_t i = 6 * testing::kCadu; i < stream.size(); ++i) stream[i] ^= 0xFF;
  ReportLog log;
  const AsmSearchFields fields = SearchAlone(stream, log);
  EXPECT_EQ(log.cadus, CadusOf(sent));
  EXPECT_EQ(log.Only("inverted"), std::vector<std::string>{"inverted (phase flip)"});
  EXPECT_EQ(log.states, (std::vector<std::string>{"Search>Sync", "Sync>Lock"}));
  EXPECT_EQ(fields.PhaseFlips, 1);
  EXPECT_EQ(fields.PolarityMask, 0xFF);
}

// A bit slip while locked, reported once: an inserted bit at lock offset 3 moves the next marker
// to offset 4; a lost bit at lock offset 0 moves it to offset 7 of the byte before.
TEST(AsmSearchEngineReports, BitSlipsAreReportedAndTheLockFollows) {
  const Bytes cadus = testing::Cadus(testing::RandomBodies(30, 6));
  struct Case {
    int lock_offset;
    int slip;
    const char* report;
    int new_offset;
  };
  for (const Case c : {Case{3, 1, "slip +1", 4}, Case{0, -1, "slip -1", 7}}) {
    SCOPED_TRACE(c.report);
    const Bytes stream = testing::Delay(cadus, c.lock_offset);
    const size_t at = 20 * 8 * testing::kCadu + 4000 + static_cast<size_t>(c.lock_offset);
    ReportLog log;
    const AsmSearchFields fields = SearchAlone(Slipped(stream, at, c.slip), log);
    EXPECT_EQ(log.Only("slip"), std::vector<std::string>{c.report});
    EXPECT_EQ(log.cadus.size(), 30u);
    EXPECT_EQ(fields.LockShift, c.new_offset);
    EXPECT_EQ(log.states, (std::vector<std::string>{"Search>Sync", "Sync>Lock"}));
    // Every frame but the one the slip fell in is cut whole.
    const std::vector<Bytes> sent = CadusOf(cadus);
    for (size_t i = 0; i < 30; ++i) {
      if (i != 20) {
        EXPECT_EQ(log.cadus[i], sent[i]) << i;
      }
    }
  }
}

// Positions without a frame and frames, reported at each change only.
TEST(AsmSearchEngineReports, FramingIsReportedAtEachChange) {
  Bytes stream = testing::RandomBytes(100, 8);
  testing::Append(stream, testing::Cadus(testing::RandomBodies(3, 9)));
  testing::Append(stream, testing::RandomBytes(2000, 10));
  ReportLog log;
  SearchAlone(stream, log, Stepping::kSingle);
  std::vector<std::string> framing;
  for (const std::string& report : log.reports)
    if (report == "framing" || report == "no frame") framing.push_back(report);
  EXPECT_EQ(framing, (std::vector<std::string>{"no frame", "framing", "no frame"}));
}

}  // namespace
}  // namespace vantrel
