// What a copy action needs to know about the copytool it runs under.
#pragma once
#include <string>

#include <lustre/lustreapi.h>

namespace sim::lib {

struct CopytoolInfo {
    std::string id;  // "<pid>.<number>", the owner of the actions it received
    std::string fs;
    std::string mountDir;
    std::string mount;     // as given to register
    std::string instance;  // the mount's client instance
};

// Fills info for a registered copytool; false for anything else (a freed or
// foreign pointer is never dereferenced).
[[nodiscard]] bool LookupCopytool(const hsm_copytool_private* ct, CopytoolInfo& info);

}  // namespace sim::lib
