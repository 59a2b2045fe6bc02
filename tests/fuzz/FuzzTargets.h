// One entry function per input the library parses. Each takes raw bytes, runs
// the library's own code on them and aborts when an invariant of the result
// does not hold; exceptions the operation documents are expected results.
//
// Command-output targets decode their bytes as a scripted process reply for
// the fake runner (FakeZqProcess.h):
//   byte 0        the status: '0' means 0, any other byte its signed value
//   bytes 1..     standard output up to the first NUL byte,
//                 standard error after it
// so a corpus file is written as "0" followed by the listing.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fuzz {

using Entry = int (*)(const uint8_t* data, size_t size);

int FidText(const uint8_t* data, size_t size);
int CurrentIndex(const uint8_t* data, size_t size);
int RecordRange(const uint8_t* data, size_t size);
int Register(const uint8_t* data, size_t size);
int Deregister(const uint8_t* data, size_t size);
int MdtList(const uint8_t* data, size_t size);
int ChangelogDump(const uint8_t* data, size_t size);
// Here the bytes are the arguments, separated by NUL bytes: host, MDT, user,
// changelog user, file-system name, start record, end record, output file.
// Whatever reaches the runner must be a command line no shell can read more
// into than the operation meant.
int CommandArguments(const uint8_t* data, size_t size);
// Here the bytes are one "lfs changelog" line. What ParseChangelogRecord
// accepts must print back, as lfs 2.11 and later print it, to a line that
// reads as the same values; what it refuses leaves the record untouched.
int ChangelogRecord(const uint8_t* data, size_t size);

struct Target {
    const char* name;  // also the corpus directory name
    Entry entry;
};

// Every target, in a fixed order.
extern const Target kTargets[];
extern const size_t kTargetCount;

}  // namespace fuzz
