#include "app/run_session.h"

namespace vantrel {

OwnedRunSession::OwnedRunSession(StageHost& host, RunControls& controls)
    : host_(host),
      controls_(&controls),
      settings_(controls.CurrentSettings()),
      input_path_(controls.InputPathChoice()),
      session_{controls.KeptChain(), settings_, input_path_, codec_, packets_, nullptr},
      attached_before_(host.AttachSession(&session_)) {}

OwnedRunSession::OwnedRunSession(BasicHost& host)
    : host_(host),
      session_{host.chain, host.settings, host.input_path, codec_, packets_, nullptr},
      attached_before_(host.AttachSession(&session_)) {}

OwnedRunSession::~OwnedRunSession() {
  host_.AttachSession(attached_before_);
}

void OwnedRunSession::ReadSettings() {
  if (controls_ != nullptr) settings_ = controls_->CurrentSettings();
}

}  // namespace vantrel
