#include "core/run_session.h"

#include "core/stage_error.h"
#include "core/stage_host.h"

namespace vantrel {

RunSession& StageHost::Session() const {
  if (session_ == nullptr) throw StageError("A stage ran outside a run: no run session");
  return *session_;
}

RunSession* StageHost::AttachSession(RunSession* session) {
  RunSession* const before = session_;
  session_ = session;
  return before;
}

}  // namespace vantrel
