#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// The intermediate files of the chains: fixed names, case included, in the working folder.
namespace WorkingFile {
inline constexpr std::string_view kCvcduMan = "cvcdu.man";
// The soft symbols the demodulation stage made of a baseband recording, read by the soft-symbol
// stage; in the format SDR demodulators write (signed 8 bit, I then Q), so other decoders can
// read it too.
inline constexpr std::string_view kDemodSoft = "demod.soft";
// The bit stream decoded from a soft-symbol recording, read by the CADU stage.
inline constexpr std::string_view kSoftBits = "soft.bits";
inline constexpr std::string_view kCaduPds = "cadu.pds";
inline constexpr std::string_view kCvcduRs = "cvcdu.rs";
inline constexpr std::string_view kVcduVcd = "vcdu_x.vcd";
inline constexpr std::string_view kMpduMpd = "mpdu_x.mpd";
inline constexpr std::string_view kApidPkt = "APID.pkt";
inline constexpr std::string_view kFy3Lines = "FY3x_.fy3";
inline constexpr std::string_view kMsuMrDmx = "MSU-MR.dmx";
inline constexpr std::string_view kMn2Lines = "MN2_.mnx";
}  // namespace WorkingFile

// The working folder: the process's current folder at the moment of the call.
std::string WorkingFolder();

// Working folder + '/' + name: where every working file and product is opened.
std::string WorkingPath(std::string_view name);

}  // namespace vantrel
