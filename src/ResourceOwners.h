// Owners for the two short-lived resources of an HSM request: the file
// descriptor it reads the FID through (common::UniqueFd) and the request
// block that liblustreapi allocates with malloc.
#pragma once
#include <cstdlib>

#include "UniqueFd.h"

namespace LustreAPI {

// Releases a block that came from malloc inside liblustreapi.
struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};

}  // namespace LustreAPI
