#pragma once

#include "ccsds/source_packet_builder.h"
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
  explicit OwnedRunSession(StageHost& host);
  ~OwnedRunSession();
  OwnedRunSession(const OwnedRunSession&) = delete;
  OwnedRunSession& operator=(const OwnedRunSession&) = delete;

  RunSession& session() { return session_; }

 private:
  StageHost& host_;
  ReedSolomonCodec codec_;
  SourcePacketBuilder packets_;
  RunSession session_;
  RunSession* attached_before_;
};

}  // namespace vantrel
