#include "LctlHelp.h"

namespace sim {
namespace {

// Each ends with a line break, to which the parser adds another.
std::string GetParamHelp(const LustreVersion& version)
{
    const std::string head = "get the Lustre or LNET parameter\n";
    const std::string tail =
        "Get the value of Lustre or LNET parameter from the specified path.\n"
        "The path can contain shell-style filename patterns.\n";
    if (version.AtLeast(17, LustreVersion::kDevelopmentPatch))
        return head +
               "get value of Lustre or LNet parameter(s) from specified path,\n"
               "which can contain shell-style filename patterns.\n"
               "usage: get_param [--dshbak|-b] [--color|-c auto|always|never] [--classify|-F]\n"
               "                 [--header|-H] [--links|-l] [--no-links|-L]\n"
               "                 [--merge|-m] [--no-merge|-M] [--no-name|-n] [--only-name|-N]\n"
               "                 [--module|-o] [--path|-p] [--readable|-r] [--recursive|-R]\n"
               "                 [--only-tunable|-t] [--writable|-w] [--yaml|-y]\n"
               "                 PARAM1 [PARAM2 ...]\n";
    if (version.AtLeast(17))
        return head +
               "usage: get_param [--dshbak|-b] [--color|-c auto|always|never]\n"
               "\t\t   [--classify|-F] [--header|-H] [--links|-l]\n"
               "\t\t   [--no-links|-L] [--no-name|-n] [--only-name|-N]\n"
               "\t\t   [--merge|-m] [--no-merge|-M] [--path|-p]\n"
               "\t\t   [--readable|-r] [--recursive|-R] [--only-tunable|-t]\n"
               "\t\t   [--writable|-w] [--yaml|-y]\n"
               "\t\t   PARAM1 [PARAM2 ...]\n" +
               tail;
    if (version.AtLeast(16))
        return head +
               "usage: get_param [--classify|-F] [--header|-H] [--links|-l]\n"
               "\t\t   [--no-links|-L] [--no-name|-n] [--only-name|-N]\n"
               "\t\t   [--recursive|-R] [--yaml|-y]\n"
               "\t\t   <param_path1 param_path2 ...>\n" +
               tail;
    return head + "usage: get_param [-F|n|-N|-R] <param_path1 param_path2 ...>\n" + tail +
           "  -F  When -N specified, add '/', '@' or '=' for directories,\n"
           "      symlinks and writeable files, respectively.\n"
           "  -n  Print only the value and not parameter name.\n"
           "  -N  Print only matched parameter names and not the values.\n"
           "      (Especially useful when using patterns.)\n"
           "  -R  Get parameters recursively from the specified entry.\n";
}

}  // namespace

std::string LctlHelp(const LustreVersion& version, const std::string& command)
{
    const bool named = version.NamedUsers();
    if (command == "changelog_register") {
        if (!named)
            return "register a new persistent changelog user, returns id\n"
                   "usage: --device <mdtname> changelog_register [-n]";
        if (!version.AtLeast(17))
            return "register a new persistent changelog user, returns id\n"
                   "usage: --device <mdtname> changelog_register [--help|-h]\n"
                   "\t\t\t\t\t       [--mask|-m <[+|-]mask1[<,|+|->mask2...]>]\n"
                   "\t\t\t\t\t       [--nameonly|-n]\n"
                   "\t\t\t\t\t       [--user|-u <username>]";
        return std::string(
                   "register a new persistent changelog user, returns id\n"
                   "usage: --device MDTNAME changelog_register [--help|-h]\n\t") +
               (version.AtLeast(17) ? "[--mask|-m MASK]" : "[--mask|-m <[+|-]mask1[<,|+|->mask2...]>]") +
               " [--nameonly|-n] [--user|-u USERNAME]";
    }
    if (command == "changelog_deregister") {
        if (!named)
            return "deregister an existing changelog user\n"
                   "usage: --device <mdtname> changelog_deregister <id>";
        if (!version.AtLeast(17))
            return "deregister an existing changelog user\n"
                   "usage: --device <mdtname> changelog_deregister [<id>|cl<id>...]\n"
                   "\t\t\t\t\t\t [--help|-h]\n"
                   "\t\t\t\t\t\t [--user|-u <username>]\n";
        return "deregister an existing changelog user\n"
               "usage: --device MDTNAME changelog_deregister [ID|clID[-NAME]]\n"
               "\t[--help|-h] [--user|-u USERNAME]";
    }
    if (command == "get_param") return GetParamHelp(version);
    return "usage: lctl --device MDTNAME changelog_register|changelog_deregister ...\n"
           "       lctl get_param [-n|-N|-F|-R] PARAM_PATH ...";
}

}  // namespace sim
