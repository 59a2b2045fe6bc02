// Scripted ZqProcess::system: see FakeZqProcess.h.
#include "FakeZqProcess.h"

#include <map>

namespace {

struct Reply {
    int status = -1;
    std::string out;
    std::string err;
};

struct Script {
    bool set = false;
    Reply reply;
    std::map<std::string, Reply> byCommand;
    std::string lastCommand;
    unsigned long calls = 0;
};

Script& ThreadReply()
{
    thread_local Script script;
    return script;
}

Reply MakeReply(int status, const char* out, size_t outLen, const char* err, size_t errLen)
{
    return Reply{status, std::string(out ? out : "", out ? outLen : 0), std::string(err ? err : "", err ? errLen : 0)};
}

}  // namespace

int ZqProcess::system(const char* command, std::string* output, std::string* errors, int, bool)
{
    Script& s = ThreadReply();
    ++s.calls;
    s.lastCommand = command ? command : "";
    const auto own = s.byCommand.find(s.lastCommand);
    if (!s.set && own == s.byCommand.end()) {
        if (errors) errors->append("no scripted reply");
        return -1;
    }
    const Reply& r = own != s.byCommand.end() ? own->second : s.reply;
    if (output) output->append(r.out);
    if (errors) errors->append(r.err);
    return r.status;
}

extern "C" void zq_fake_set_reply(int status, const char* out, size_t outLen, const char* err, size_t errLen)
{
    Script& s = ThreadReply();
    s.set = true;
    s.reply = MakeReply(status, out, outLen, err, errLen);
    s.byCommand.clear();
}

extern "C" void zq_fake_set_reply_for(const char* command, int status, const char* out, size_t outLen,
                                      const char* err, size_t errLen)
{
    ThreadReply().byCommand[command ? command : ""] = MakeReply(status, out, outLen, err, errLen);
}

extern "C" const char* zq_fake_last_command(void) { return ThreadReply().lastCommand.c_str(); }

extern "C" unsigned long zq_fake_call_count(void) { return ThreadReply().calls; }
