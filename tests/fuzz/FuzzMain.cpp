// libFuzzer entry of one target; FUZZ_ENTRY names it (see CMakeLists.txt).
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return fuzz::FUZZ_ENTRY(data, size); }
