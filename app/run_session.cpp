#include "app/run_session.h"

namespace vantrel {

OwnedRunSession::OwnedRunSession(StageHost& host)
    : host_(host),
      session_{host.Chain(), codec_, packets_},
      attached_before_(host.AttachSession(&session_)) {}

OwnedRunSession::~OwnedRunSession() {
  host_.AttachSession(attached_before_);
}

}  // namespace vantrel
