#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/satellite.h"
#include "core/stage_host.h"

namespace vantrel {

// Where `marker` stands in `input_path`: its first place in the file's own name (after the last
// '/'), else its first place in the rest of the path; npos when it is nowhere. A marker in the
// file name wins over one in a folder name.
size_t FindMarkerIn(std::string_view input_path, std::string_view marker);

// A recording its recorder is still writing is named NAME.part and renamed to NAME when whole:
// its name tells what NAME tells. `input_path` without a trailing ".part"; the path itself when
// it has none (or is ".part" alone). Every rule below reads the name through it.
std::string_view WithoutPartEnding(std::string_view input_path);

// The soft-symbol extension the file name of `input_path` ends in (".soft" or ".s", as SDR
// demodulators name their files), or empty when it has another or none.
std::string_view SoftSymbolExtension(std::string_view input_path);

// The baseband extension the file name of `input_path` ends in (".wav", ".cs16", ".cs8", ".cu8",
// ".cf32", in any letter case, as SDR programs name their recordings), or empty.
std::string_view BasebandExtension(std::string_view input_path);

// The product name rule shared by the final writers. From the input path (without a trailing
// ".part", WithoutPartEnding): cut everything before
// `marker` where FindMarkerIn finds it (the marker too when `drop_marker`); then, where the first
// ".bin" begins at 1-based position p >= 3, delete p + 3 characters from position p - 2 (to the end
// at most): "MetopB_20181231_101530.bin" gives "MetopB_20181231_1015". Without ".bin", a
// soft-symbol or baseband extension (SoftSymbolExtension, BasebandExtension) is cut the same way:
// "MetopB_20181231_101530.soft" and "MetopB_20181231_101530.wav" give "MetopB_20181231_1015" too. A
// path without the marker is used whole. Folder separators left in the name become '_', so the
// product stays in the working folder. A dropped marker is put back in front of a name that would
// be empty or begin with '.'
// ("MetopA_.bin" gives "MetopA_.bin", "MetopA_ab.bin" gives "MetopA_"): no product is hidden.
std::string OutputBaseName(std::string_view input_path, std::string_view marker, bool drop_marker);

// The name of the product a run for `satellite` writes, by the satellite's rule: OutputBaseName
// of `naming_path` with the satellite's marker (dropped or kept as the satellite says) and its
// suffix. "MetopB_20181231_101530.bin" gives "MetopB_20181231_1015_M03.hpt" for MetOp-B,
// "MetopA_20181231_101530.bin" "20181231_1015_M02.hpt" for MetOp-A.
std::string ProductName(std::string_view naming_path, const Satellite& satellite);

// The path of the product of the host's run: ProductName of NamingPath for the run's satellite,
// in the working folder. Throws StageError outside a run or when the run has no satellite.
std::string ProductPath(StageHost& host);

// The path a final writer names its product from: the chain's NamingPath when the driver set one,
// else the input path.
std::string NamingPath(StageHost& host);

}  // namespace vantrel
