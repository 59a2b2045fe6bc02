// A test build of libZqLib.so: ZqProcess::system runs nothing and answers
// every command with a scripted reply. Fuzz targets, the corpus replay test
// and the parsing benchmarks link it in place of the real runner, so that the
// library's command parsers run unchanged on chosen output.
//
// The reply is per thread: a thread sets it, then calls a library operation
// on the same thread. Without a reply set, system() answers -1 with the error
// text "no scripted reply". A command may have a reply of its own, which it
// gets instead.
#pragma once
#include <string>

#include "ZqProcess.h"

extern "C" {
// Scripts the reply of the calling thread's next system() calls (every call
// until the next set), and drops the replies of single commands. Copies the
// three texts.
ZQ_API void zq_fake_set_reply(int status, const char* out, size_t outLen, const char* err, size_t errLen);
// Scripts the reply of the calling thread's system() calls of command alone,
// until the next zq_fake_set_reply.
ZQ_API void zq_fake_set_reply_for(const char* command, int status, const char* out, size_t outLen, const char* err,
                                  size_t errLen);
// The command line of the calling thread's last system() call ("" before any).
ZQ_API const char* zq_fake_last_command(void);
// How many times system() ran on the calling thread.
ZQ_API unsigned long zq_fake_call_count(void);
}
