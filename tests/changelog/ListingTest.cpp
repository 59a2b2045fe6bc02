// The listing readers and the argument checks, called directly on the rows
// of data/listing.txt (its head describes them).
#include <gtest/gtest.h>

#include <fstream>

#include "ArgumentChecks.h"
#include "ChangelogListing.h"

using namespace LustreAPI;

namespace {

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] != '\\' || (next != 't' && next != 'n' && next != 'x' && next != '\\')) {
            out += text[i];
        } else if (next == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += next == 't' ? '\t' : next == 'n' ? '\n' : '\\';
            ++i;
        }
    }
    return out;
}

std::string Kind(ListingLine kind) {
    return kind == ListingLine::None ? "None" : kind == ListingLine::Value ? "Value" : "ParseError";
}

std::string Call(const std::vector<std::string>& f) {
    std::string mdt = "untouched", value = "untouched";
    if (f[0] == "current") return Kind(ReadCurrentIndexLine(f[1], value)) + " [" + value + "]";
    if (f[0] == "reader") return Kind(ReadReaderLine(f[1], f.at(2), value)) + " [" + value + "]";
    if (f[0] == "mdc") return Kind(ReadMdcLine(f[1], f.at(2), mdt, value)) + " [" + mdt + "] [" + value + "]";
    if (f[0] == "server") return ServerOfValue(f[1]);
    if (f[0] == "number") return ChangelogUserNumber(f[1]);
    const HBCodeLocation where{"Caller", "void Caller()", 7};
    const CKxError error =
        CheckCommandArgument(where, "value", f[1], f[0] == "login" ? ArgumentKind::Login : ArgumentKind::Word);
    if (!error.Failed()) return "accepted";
    EXPECT_EQ(error.GetSystemError(), 774);
    EXPECT_STREQ(error.GetLocations().at(0).m_function, "void Caller()");
    return error.GetMessages().size() == 1 ? error.GetMessages()[0] : error.ToString();
}

TEST(ListingAndChecks, EveryRowOfTheDataFile) {
    std::ifstream in(CHANGELOG_DATA_DIR "/listing.txt");
    int rows = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t arrow = line.find(" -> ");
        if (line.empty() || line[0] == '#' || arrow == std::string::npos) continue;
        std::vector<std::string> fields;
        const std::string args = line.substr(0, arrow) + " | ";
        for (size_t at = 0, bar; (bar = args.find(" | ", at)) != std::string::npos; at = bar + 3)
            fields.push_back(Unescape(args.substr(at, bar - at)));
        EXPECT_EQ(Call(fields), Unescape(line.substr(arrow + 4))) << line;
        ++rows;
    }
    EXPECT_GE(rows, 70);
}

TEST(ArgumentChecks, EmptyWhereAllowedAndTheFirstRefusalOfAList) {
    const HBCodeLocation where{"Caller", "void Caller()", 7};
    EXPECT_FALSE(CheckCommandArgument(where, "value", "", ArgumentKind::Word, true).Failed());
    const std::string good = "a", bad1 = "b;", bad2 = "";
    const CKxError first = CheckCommandArguments(where, {{"one", good, ArgumentKind::Word, false},
                                                         {"two", bad1, ArgumentKind::Login, false},
                                                         {"three", bad2, ArgumentKind::Word, false}});
    EXPECT_EQ(first.GetMessages(), std::vector<std::string>{"The two \"b;\" is refused: it holds the character ';'"});
}

}  // namespace
