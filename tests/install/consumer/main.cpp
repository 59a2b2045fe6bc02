// tiny-host MOUNT FSNAME: binds Lustre's library, takes a file's FID to text
// and back to its path, and lists the file system's MDTs. Prints one line
// per step; exits 0 only when all of them succeed.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "LustreAPI.h"

static int Fail(const char* step, const std::string& why) {
    std::printf("tiny-host: %s failed: %s\n", step, why.c_str());
    return 1;
}

static std::string Messages(const CKxError& error) {
    std::string text;
    for (const std::string& m : error.GetMessages()) text += (text.empty() ? "" : " / ") + m;
    return text;
}

int main(int argc, char** argv) {
    if (argc != 3) return Fail("usage", "tiny-host MOUNT FSNAME");
    const std::string mount = argv[1];
    const std::string file = mount + "/tiny-host.txt";
    std::ofstream(file) << "tiny host\n";

    CKxError error = LustreAPI::LoadFunctions();
    if (error.Failed()) return Fail("LoadFunctions", Messages(error));

    LustreAPI::CLustreFID fid;
    error = LustreAPI::GetFIDFromPath(file, fid);
    if (error.Failed()) return Fail("GetFIDFromPath", Messages(error));
    char text[64];
    std::snprintf(text, sizeof text, "[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
    LustreAPI::CLustreFID parsed{std::string(text)};
    std::string path;
    int linkNo = 0;
    long long recNo = -1;
    error = LustreAPI::GetPathFromFID(mount, parsed, path, linkNo, recNo);
    if (error.Failed()) return Fail("GetPathFromFID", Messages(error));
    if (path != file) return Fail("GetPathFromFID", "got " + path + ", expected " + file);

    std::vector<std::string> mdts;
    std::vector<std::string> servers;
    error = LustreAPI::GetMDTList(argv[2], mdts, servers);
    if (error.Failed()) return Fail("GetMDTList", Messages(error));
    if (mdts.empty()) return Fail("GetMDTList", "no MDT");

    std::printf("tiny-host: ok %s %s %s on %s\n", text, path.c_str(), mdts[0].c_str(), servers[0].c_str());
    return 0;
}
