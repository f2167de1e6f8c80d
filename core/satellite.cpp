#include "core/satellite.h"

#include "core/record_sizes.h"

namespace vantrel {
namespace {

// The AOS transfer frame version number (CCSDS 732.0-B): "01" in the top two bits.
constexpr unsigned kAosVersion = 1;

// MetOp AHRPT: 3.5 Mbit/s of data, rate-3/4 coded, two bits a QPSK symbol.
constexpr Downlink kMetopAhrpt = {
    "MetOp",
    "MetOp QPSK",
    "MetOp QPSK",
    "Starting soft symbol decoding (MetOp QPSK, Viterbi)...",
    Modulation::kQpsk,
    3.5e6 / 0.75 / 2,
    SoftDecoding::kPuncturedViterbi,
    true,
    true,
    kCaduBytes,
    ChannelSetting::kMetop,
    "AVHRR/3",
    ProductWriter::kHpt,
    ChainKind::MetOp,
};

// FY-3 HRPT: the same coding on either rate; FY-3C sends slower than FY-3A and FY-3B.
constexpr Downlink Fy3Hrpt(double symbol_rate) {
  return {
      "FY-3",
      "FY-3 QPSK",
      "FY-3 QPSK",
      "Starting soft symbol decoding (FY-3 QPSK, two Viterbi rails)...",
      Modulation::kQpsk,
      symbol_rate,
      SoftDecoding::kTwoRailViterbi,
      true,
      true,
      kCaduBytes,
      ChannelSetting::kFy3,
      "VIRR",
      ProductWriter::kC10,
      ChainKind::Fy3,
  };
}
constexpr Downlink kFy3AbHrpt = Fy3Hrpt(2.8e6);
constexpr Downlink kFy3CHrpt = Fy3Hrpt(2.6e6);

// Meteor-M HRPT: 665.4 kbit/s, neither coded nor randomised, without Reed-Solomon. Its soft
// symbols are the data bits, one BPSK value each, the Manchester coding taken off.
constexpr Downlink kMeteorHrpt = {
    "Meteor-M N2",
    "Meteor-M N2 PM",
    "Meteor-M N2 BPSK",
    "Starting soft symbol reading (Meteor-M N2 BPSK)...",
    Modulation::kPhaseManchester,
    665.4e3,
    SoftDecoding::kSigns,
    false,
    false,
    kCaduBytes,
    ChannelSetting::kNone,
    "MSU-MR",
    ProductWriter::kDat,
    ChainKind::Mn2,
};

}  // namespace

const std::vector<Satellite>& Satellites() {
  using F = SatelliteFamily;
  static const std::vector<Satellite> satellites = {
      {"metop-a", "MetOp-A", "MetopA_", F::MetOp, 0, 12, &kMetopAhrpt, true, "_M02.hpt"},
      {"metop-b", "MetOp-B", "MetopB_", F::MetOp, 1, 11, &kMetopAhrpt, false, "_M03.hpt"},
      {"metop-c", "MetOp-C", "MetopC_", F::MetOp, 2, 13, &kMetopAhrpt, false, "_M04.hpt"},
      {"fy3a", "FY-3A", "FY3A_", F::Fy3, 0, 49, &kFy3AbHrpt, false, ".C10"},
      {"fy3b", "FY-3B", "FY3B_", F::Fy3, 1, 50, &kFy3AbHrpt, false, ".C10"},
      {"fy3c", "FY-3C", "FY3C_", F::Fy3, 2, 51, &kFy3CHrpt, false, ".C10"},
      {"meteor-m2", "Meteor-M N2", "MN2_", F::Meteor, 0, 0, &kMeteorHrpt, true, "_MN2.dat"},
      {"meteor-m2-2", "Meteor-M N2-2", "MN22_", F::Meteor, 2, 2, &kMeteorHrpt, true, "_MN22.dat"},
      {"meteor-m2-3", "Meteor-M N2-3", "MN23_", F::Meteor, 3, 3, &kMeteorHrpt, true, "_MN23.dat"},
      {"meteor-m2-4", "Meteor-M N2-4", "MN24_", F::Meteor, 4, 4, &kMeteorHrpt, true, "_MN24.dat"},
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
