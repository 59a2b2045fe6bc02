// The listing readers and the argument checks, called directly on the rows
// of data/listing.txt (its head describes them).
#include <gtest/gtest.h>

#include "ArgumentChecks.h"
#include "ChangelogListing.h"
#include "DataFiles.h"
#include "Diagnostics.h"

using namespace LustreAPI;

namespace {

std::string Kind(ListingLine kind)
{
    return kind == ListingLine::None ? "None" : kind == ListingLine::Value ? "Value" : "ParseError";
}

std::string Call(const std::vector<std::string>& f)
{
    std::string mdt = "untouched", value = "untouched";
    if (f[0] == "current") return Kind(ReadCurrentIndexLine(f[1], value)) + " [" + value + "]";
    if (f[0] == "reader") return Kind(ReadReaderLine(f[1], f.at(2), value)) + " [" + value + "]";
    if (f[0] == "mdc") return Kind(ReadMdcLine(f[1], f.at(2), mdt, value)) + " [" + mdt + "] [" + value + "]";
    if (f[0] == "server") return ServerOfValue(f[1]);
    if (f[0] == "number") return ChangelogUserNumber(f[1]);
    if (f[0] == "readername") return ChangelogReaderName(f[1]);
    if (f[0] == "version") {
        unsigned major = 99, minor = 99;
        const bool read = ReadLctlVersion(f[1], major, minor);
        return read ? std::to_string(major) + "." + std::to_string(minor) : "none";
    }
    const HBCodeLocation where{"Caller", "void Caller()", 7};
    const CKxError error =
        f[0] == "name"   ? CheckReaderName(where, f[1])
        : f[0] == "mask" ? CheckChangelogMask(where, f[1])
                         : CheckCommandArgument(where, "value", f[1],
                                                f[0] == "login" ? ArgumentKind::Login : ArgumentKind::Word,
                                                f[0] == "optional");
    if (!error.Failed()) return "accepted";
    EXPECT_EQ(error.GetSystemError(), 774);
    EXPECT_TRUE(IsRefusal(error));
    EXPECT_FALSE(IsTimeLimit(error));
    EXPECT_STREQ(error.GetLocations().at(0).m_function, "void Caller()");
    return error.GetMessages().size() == 1 ? error.GetMessages()[0] : error.ToString();
}

TEST(ListingAndChecks, EveryRowOfTheDataFile)
{
    const auto rows = testsupport::ReadRows(CHANGELOG_DATA_DIR "/listing.txt");
    for (const testsupport::DataRow& row : rows) EXPECT_EQ(Call(row.fields), row.expected) << row.line;
    EXPECT_GE(rows.size(), 70u);
}

TEST(ArgumentChecks, TheFirstRefusalOfAList)
{
    const HBCodeLocation where{"Caller", "void Caller()", 7};
    const std::string good = "a", bad1 = "b;", bad2 = "";
    const CKxError first = CheckCommandArguments(where, {{"one", good, ArgumentKind::Word, false},
                                                         {"two", bad1, ArgumentKind::Login, false},
                                                         {"three", bad2, ArgumentKind::Word, false}});
    EXPECT_EQ(first.GetMessages(), std::vector<std::string>{"The two \"b;\" is refused: it holds the character ';'"});
    // The kind is where the error was made, whatever is pushed onto it; a
    // plain failure of the same code is neither kind.
    CKxError pushed = TimeLimitError(where, "passed");
    pushed.Push(where, "and more");
    EXPECT_TRUE(IsTimeLimit(pushed));
    EXPECT_FALSE(IsRefusal(pushed));
    const CKxError plain = CommandError(where, "failed");
    EXPECT_EQ(plain.GetCode(), pushed.GetCode());
    EXPECT_FALSE(IsRefusal(plain) || IsTimeLimit(plain) || IsRefusal(CKxError()));
}

}  // namespace
