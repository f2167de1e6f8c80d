#pragma once

#include <string>

#include "ccsds/source_packet_builder.h"
#include "core/basic_host.h"
#include "core/run_session.h"
#include "core/stage_host.h"
#include "rs/reed_solomon_codec.h"

namespace vantrel {

// A run's session with the objects it owns: a Reed-Solomon codec and a source packet builder
// made for the run, beside the host's chain state. Attached to the host while it lives (the
// session attached before, if any, comes back after), so a run's stages reach it with
// host.Session() and the next run gets new ones. The codec's field tables are built by the CADU
// stage's Configure at each run (a few microseconds); its conversion tables, like the
// pseudo-random sequence, are compile-time constants shared read-only by every run.
class [[nodiscard]] OwnedRunSession {
 public:
  // The driver's session: the input path and the settings are read from `controls` now, and the
  // settings again by ReadSettings before every stage.
  OwnedRunSession(StageHost& host, RunControls& controls);
  // A session over a plain host's own values, which it reads as they are at each use: for a
  // stage run without the driver (tests, benchmarks).
  explicit OwnedRunSession(BasicHost& host);
  ~OwnedRunSession();
  OwnedRunSession(const OwnedRunSession&) = delete;
  OwnedRunSession& operator=(const OwnedRunSession&) = delete;

  RunSession& session() { return session_; }
  const RunSession& session() const { return session_; }

  // Reads the settings from the controls again (the driver's session only).
  void ReadSettings();

 private:
  StageHost& host_;
  RunControls* controls_ = nullptr;
  Settings settings_;
  std::string input_path_;
  ReedSolomonCodec codec_;
  SourcePacketBuilder packets_;
  RunSession session_;
  RunSession* attached_before_;
};

}  // namespace vantrel
