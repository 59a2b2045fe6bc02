// The exported operations of LustreAPI.
#include "LustreAPI.h"

#include "KxUtils.h"
#include "ZqLib.h"

namespace LustreAPI {

// ==== Binding, pass-through, HSM requests, file identifiers ====
// (binding section: end)

// ==== Commands, changelog dump, MDT discovery, changelog users and indexes ====
// (changelog section: end)

}  // namespace LustreAPI
