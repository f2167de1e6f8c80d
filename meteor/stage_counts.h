#pragma once

namespace vantrel {

// Separator line length closing the summaries of the Meteor-M N2 stages.
inline constexpr int kMeteorSeparatorStars = 54;

}  // namespace vantrel
