// A host file that includes LustreAPI.h and uses C++17's [[fallthrough]]: it
// must compile without a warning whatever macros Lustre's header defines.
#include "LustreAPI.h"

int Classify(int action)
{
    int weight = 0;
    switch (action) {
    case HUA_ARCHIVE:
        weight += 2;
        [[fallthrough]];
    case HUA_RESTORE:
        weight += 1;
        break;
    default:
        break;
    }
    return weight;
}
