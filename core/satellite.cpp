#include "core/satellite.h"

namespace vantrel {
namespace {

// The AOS transfer frame version number (CCSDS 732.0-B): "01" in the top two bits.
constexpr unsigned kAosVersion = 1;

}  // namespace

const std::vector<Satellite>& Satellites() {
  using F = SatelliteFamily;
  static const std::vector<Satellite> satellites = {
      {"metop-a", "MetOp-A", "MetopA_", F::MetOp, 0, 12},
      {"metop-b", "MetOp-B", "MetopB_", F::MetOp, 1, 11},
      {"metop-c", "MetOp-C", "MetopC_", F::MetOp, 2, 13},
      {"fy3a", "FY-3A", "FY3A_", F::Fy3, 0, 49},
      {"fy3b", "FY-3B", "FY3B_", F::Fy3, 1, 50},
      {"fy3c", "FY-3C", "FY3C_", F::Fy3, 2, 51},
      {"meteor-m2", "Meteor-M N2", "MN2_", F::Meteor, 0, 0},
      {"meteor-m2-2", "Meteor-M N2-2", "MN22_", F::Meteor, 2, 2},
      {"meteor-m2-3", "Meteor-M N2-3", "MN23_", F::Meteor, 3, 3},
      {"meteor-m2-4", "Meteor-M N2-4", "MN24_", F::Meteor, 4, 4},
  };
  return satellites;
}

const Satellite* SatelliteByOption(std::string_view option) {
  for (const Satellite& satellite : Satellites())
    if (option == satellite.option) return &satellite;
  return nullptr;
}

const Satellite* SatelliteBySpacecraftId(int spacecraft_id) {
  for (const Satellite& satellite : Satellites())
    if (satellite.family != SatelliteFamily::Meteor && satellite.data_id == spacecraft_id)
      return &satellite;
  return nullptr;
}

const Satellite* MeteorByMsuMrId(int msu_mr_id) {
  for (const Satellite& satellite : Satellites())
    if (satellite.family == SatelliteFamily::Meteor && satellite.data_id == msu_mr_id)
      return &satellite;
  return nullptr;
}

std::string MarkerList() {
  std::string list;
  const std::vector<Satellite>& satellites = Satellites();
  for (size_t i = 0; i < satellites.size(); ++i) {
    if (i > 0) list += i + 1 == satellites.size() ? " or " : ", ";
    list += satellites[i].marker;
  }
  return list;
}

std::string_view SatelliteOptionList() {
  return "metop-a, metop-b, metop-c, fy3a, fy3b, fy3c, meteor-m2, meteor-m2-2, meteor-m2-3, "
         "meteor-m2-4 or auto";
}

int VcduSpacecraftId(const unsigned char* vcdu) {
  if ((vcdu[0] >> 6) != kAosVersion) return -1;
  return ((vcdu[0] & 0x3F) << 2) | (vcdu[1] >> 6);
}

}  // namespace vantrel
