#include "core/run_session.h"

#include "core/stage_error.h"
#include "core/stage_host.h"

namespace vantrel {

RunSession& StageHost::Session() const {
  if (session_ == nullptr) throw StageError("A stage ran outside a run: no run session");
  return *session_;
}

const Satellite& StageHost::RunSatellite() const {
  const Satellite* satellite = Session().satellite;
  if (satellite == nullptr) throw StageError("A stage ran before the run's satellite was chosen");
  return *satellite;
}

RunSession* StageHost::AttachSession(RunSession* session) {
  RunSession* const before = session_;
  session_ = session;
  return before;
}

}  // namespace vantrel
