// The two grammars every data file of the tests is written in, and their
// parsers (DataFiles.cpp).
//
// ROWS: one case a line, "field | field ... -> expected". The fields are
// split at " | "; the expected text after the first " -> " is whole (a test
// may split it further). A file that only lists cases leaves out
// " -> expected". Empty lines and lines beginning with '#' are comments. In
// fields and expected text \t, \n, \xHH and \\ are escapes; other
// backslashes stay.
//
// TRANSCRIPTS: commands, the input scripted for the fake programs they run,
// and what they must give, byte for byte, one line each:
//   ## title     starts a case: its first step begins afresh (also a comment)
//   # text       a comment
//   $ command    a step: the command the test runs
//   < line       a line of standard output scripted for a fake program
//   <2 line      a line of that program's standard error
//   <exit N      its exit status (0 when not given)
//   <$ command   the scripted lines that follow answer only the fake run with
//                this command line; those before any answer every command
//   line         any other line: a line of the step's expected standard output
//   2> line      a line of its expected standard error
//   [exit N]     its expected exit status, when not 0
// A step's expected lines follow its scripted input. A line of scripted or
// expected output ending in '%' is the last of its stream and lacks its line
// break. There are no escapes: lines are taken as they are (\r included).
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

struct DataRow {
    std::vector<std::string> fields;
    std::string expected;  // "" when the row has none
    std::string line;      // as written, for traces
};
// The rows of a file; throws when it holds none.
std::vector<DataRow> ReadRows(const std::string& path);

// A step of a transcript with the replies scripted for it.
struct TranscriptStep {
    struct Reply {
        std::string command;  // "" for the reply to every command
        std::string out, err;
        int status = 0;
    };
    std::string command;
    std::vector<Reply> replies{1};  // [0]: to every command
    bool fresh = false;             // the first step of the file or of a case
};

struct Replayed {
    std::string recorded, replayed;
};
// Plays the transcript of a file, play running each step: the file as it is,
// and as it reads with each step's expected lines written from what play
// gave. With LUSTREAPI_UPDATE_DATA set the replay is written over the file.
// Throws on a line of no kind, or on output that would read as another kind.
Replayed ReplayTranscript(const std::string& path, const std::function<Outcome(const TranscriptStep&)>& play);

}  // namespace testsupport
