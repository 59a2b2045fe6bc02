// Where each record ends in lfs changelog's output (src/RecordFraming.h),
// from rows of output as Lustre 2.15's lfs prints it: each row read whole
// and byte by byte must hand out the same records and end the same way,
// with lfs's answers (for a record asked about alone) where it asks.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RecordFraming.h"

namespace {

using LustreAPI::RecordFraming;
using Verdict = RecordFraming::Verdict;

std::string Line(unsigned long long index, const std::string& name = "f")
{
    return std::to_string(index) + " 01CREAT 11:00:00.000000000 2024.01.01 0x0 t=[0x200000401:0x" +
           std::to_string(index) + ":0x0] ef=0xf u=0:0 nid=0@lo p=[0x200000007:0x1:0x0] " + name;
}

struct Row {
    const char* what;
    std::string output;
    bool ended;                                         // lfs has ended (else it follows)
    std::map<unsigned long long, std::string> answers;  // what lfs prints for a record alone
    std::vector<std::string> texts;                     // the records handed out, whole
    std::string stop;                                   // how the framing stops
};

// Takes every record the framing can tell apart, answering its questions.
std::string Drive(RecordFraming& framing, const Row& row, std::vector<std::string>& handed)
{
    for (;;) {
        switch (framing.Look()) {
        case Verdict::Record:
            handed.emplace_back(framing.Text());
            framing.Take();
            continue;
        case Verdict::Ask: {
            const auto answer = row.answers.find(framing.FrontIndex());
            if (answer == row.answers.end() || framing.Proven(framing.FrontIndex())) return "ask";
            framing.ProveRecord(answer->first, answer->second, !answer->second.empty(), "lfs (asked)");
            continue;
        }
        case Verdict::More:
            return "more";
        case Verdict::End:
            return "end";
        case Verdict::Unreadable:
            return "unreadable: " + framing.Problem();
        }
    }
}

TEST(RecordFraming, TellsWhereEachRecordEnds)
{
    std::vector<std::string> many;
    std::string printed;
    for (int i = 1; i <= 12; ++i) {
        many.push_back(Line(i, "name of record " + std::to_string(i)));
        printed += many.back() + "\n";
    }
    const std::string l10 = Line(10, "evil"), forged11 = Line(11, "victim"), forged99 = Line(99, "victim");
    // The records whose reach (where the next one begins at most) the output
    // passes.
    std::vector<std::string> proven;
    for (std::size_t i = 0, start = 0; i < many.size(); start += many[i++].size() + 1)
        if (printed.size() > start + LustreAPI::kLongestRecordText + 1) proven.push_back(many[i]);
    const Row rows[] = {
        {"records, then the end", Line(5) + "\n" + Line(6) + "\n", true, {}, {Line(5), Line(6)}, "end"},
        {"a last line without its line end", Line(5) + "\n" + Line(6), true, {}, {Line(5), Line(6)}, "end"},
        {"a following reader's last records wait for their reach", Line(5) + "\n" + Line(6) + "\n", false, {}, {},
         "more"},
        {"past a record's reach its end is proven", printed, false, {}, proven, "more"},
        {"a name with a line break and text that is no record", Line(5, "a\nnot a record") + "\n" + Line(6) + "\n",
         true, {}, {Line(5, "a\nnot a record"), Line(6)}, "end"},
        {"a name ending in a line break", Line(5, "a\n") + "\n" + Line(6) + "\n", true, {}, {Line(5, "a\n"), Line(6)},
         "end"},
        {"a forged record that is not the next", l10 + "\n" + forged99 + "\n" + Line(11) + "\n", true, {},
         {l10 + "\n" + forged99, Line(11)}, "end"},
        {"a forged next record: lfs tells", l10 + "\n" + forged11 + "\n" + Line(11) + "\n", true,
         {{10, l10 + "\n" + forged11}}, {l10 + "\n" + forged11, Line(11)}, "end"},
        {"a forged next record: lfs prints nothing", l10 + "\n" + forged11 + "\n" + Line(11) + "\n", true,
         {{10, ""}}, {},
         "unreadable: Cannot tell where the changelog record 10 printed by lfs ends: a line break in a name, job id "
         "or xattr name is followed by text that reads as a record, and lfs (asked) printed nothing for it"},
        {"a gap: lfs tells", Line(5) + "\n" + Line(7) + "\n", true, {{5, Line(5)}}, {Line(5), Line(7)}, "end"},
        {"lfs's answer differs from its output", Line(5) + "\n" + Line(7) + "\n", true, {{5, Line(5, "g")}}, {},
         "unreadable: The changelog record 5 printed by lfs differs from what lfs (asked) printed for it"},
        {"out of order", Line(6) + "\n" + Line(5) + "\n", true, {{6, Line(6)}}, {Line(6)},
         "unreadable: The changelog record \"" + Line(5) + "\" printed by lfs does not follow record 6"},
        {"not a record", "not a record\n", true, {}, {},
         "unreadable: Cannot read the changelog record \"not a record\" printed by lfs"},
        {"a line longer than lfs prints", std::string(LustreAPI::kLongestLine + 1, 'x'), false, {}, {},
         "unreadable: The output of lfs holds a line longer than 65536 bytes"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        for (const bool byteByByte : {false, true}) {
            SCOPED_TRACE(byteByByte ? "byte by byte" : "whole");
            RecordFraming framing("lfs");
            std::vector<std::string> handed;
            std::string stop;
            if (byteByByte) {
                for (char c : row.output) {
                    framing.Append(&c, 1);
                    stop = Drive(framing, row, handed);
                    if (stop.rfind("unreadable", 0) == 0) break;
                }
            } else {
                framing.Append(row.output.data(), row.output.size());
            }
            if (stop.rfind("unreadable", 0) != 0) {
                if (row.ended) framing.SetEnded();
                stop = Drive(framing, row, handed);
            }
            EXPECT_EQ(handed, row.texts);
            EXPECT_EQ(stop, row.stop);
        }
    }
}

}  // namespace
