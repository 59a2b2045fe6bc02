#include "LctlHelp.h"

namespace sim {

std::string LctlHelp(const LustreVersion& version, const std::string& command)
{
    const bool named = version.NamedUsers();
    if (command == "changelog_register") {
        if (!named)
            return "register a new persistent changelog user, returns id\n"
                   "usage: --device <mdtname> changelog_register [-n]";
        return "register a new persistent changelog user, returns id\n"
               "usage: --device MDTNAME changelog_register [--help|-h]\n"
               "\t[--mask|-m MASK] [--nameonly|-n] [--user|-u USERNAME]";
    }
    if (command == "changelog_deregister") {
        if (!named)
            return "deregister an existing changelog user\n"
                   "usage: --device <mdtname> changelog_deregister <id>";
        return "deregister an existing changelog user\n"
               "usage: --device MDTNAME changelog_deregister [ID|clID[-NAME]]\n"
               "\t[--help|-h] [--user|-u USERNAME]";
    }
    if (command == "get_param")
        return "get the Lustre or LNET parameter\n"
               "usage: get_param [-n] <param_path1 param_path2 ...>";
    return "usage: lctl --device MDTNAME changelog_register|changelog_deregister ...\n"
           "       lctl get_param [-n] PARAM_PATH ...";
}

}  // namespace sim
