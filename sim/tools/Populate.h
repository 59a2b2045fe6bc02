// "lustre-sim populate": a large stand-in file system made quickly, for
// tests and demos of policy engines and changelog consumers.
#pragma once
#include <string>

#include "SimConfig.h"

namespace sim {

// Makes count new files below the first mount of fs, in a new top-level
// directory "populated.<n>" (the first n from 1 not taken), 1000 files to a
// subdirectory "d<k>", files "f<i>": each file has a FID in the library's store, a size (sparse, up
// to 1 MiB), and CREAT and MKDIR records of its creation in the changelog of
// its MDT, stamped with the stand-in clock. The state is stored in batches,
// each whole or absent. False, with the reason, when fs has no mount or a
// file cannot be made; what was stored before stays.
[[nodiscard]] bool Populate(const std::string& stateDir, const Config& config, const std::string& fs,
                            unsigned long long count, std::string& error);

}  // namespace sim
