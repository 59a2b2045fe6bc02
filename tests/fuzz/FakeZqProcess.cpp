// Scripted ZqProcess::system: see FakeZqProcess.h.
#include "FakeZqProcess.h"

namespace {

struct Reply {
    bool set = false;
    int status = -1;
    std::string out;
    std::string err;
    std::string lastCommand;
    unsigned long calls = 0;
};

Reply& ThreadReply()
{
    thread_local Reply reply;
    return reply;
}

}  // namespace

int ZqProcess::system(const char* command, std::string* output, std::string* errors, int, bool)
{
    Reply& r = ThreadReply();
    ++r.calls;
    r.lastCommand = command ? command : "";
    if (!r.set) {
        if (errors) errors->append("no scripted reply");
        return -1;
    }
    if (output) output->append(r.out);
    if (errors) errors->append(r.err);
    return r.status;
}

extern "C" void zq_fake_set_reply(int status, const char* out, size_t outLen, const char* err, size_t errLen)
{
    Reply& r = ThreadReply();
    r.set = true;
    r.status = status;
    r.out.assign(out ? out : "", out ? outLen : 0);
    r.err.assign(err ? err : "", err ? errLen : 0);
}

extern "C" const char* zq_fake_last_command(void) { return ThreadReply().lastCommand.c_str(); }

extern "C" unsigned long zq_fake_call_count(void) { return ThreadReply().calls; }
