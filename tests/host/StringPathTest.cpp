// String and path utilities: the rows of data/strings.txt.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "DataFiles.h"
#include "HBPath.h"
#include "HBString.h"

namespace {

std::string Call(const std::vector<std::string>& f)
{
    std::string text = f.at(1);
    if (f[0] == "split") {
        std::vector<std::string> pieces{"kept"};
        HBString::Split(text, f.at(2), pieces, 0);
        std::list<std::string> listed{"kept"};
        HBString::Split(text, f.at(2), listed, 0);
        EXPECT_EQ(std::vector<std::string>(listed.begin(), listed.end()), pieces);
        std::string out;
        for (const std::string& piece : pieces) out += "[" + piece + "]";
        return out;
    }
    if (f[0] == "trim") HBString::Trim(text, f.at(2).c_str());
    if (f[0] == "trimleft") HBString::TrimLeft(text, f.at(2).c_str());
    if (f[0] == "trim" || f[0] == "trimleft") return "[" + text + "]";
    if (f[0] == "removeleft") return (HBString::RemoveLeft(text, f.at(2).c_str()) ? "true " : "false ") + text;
    if (f[0] == "find") {
        const char* found = HBString::FindString(text.c_str(), f.at(2).c_str(), true);
        return found ? std::to_string(found - text.c_str()) : "null";
    }
    EXPECT_FALSE(HBPath::Append(text, f.at(2), 0).Failed());
    return text;
}

TEST(HBStringAndPath, EveryRowOfTheDataFile)
{
    for (const testsupport::DataRow& row : testsupport::ReadRows(HOST_DATA_DIR "/strings.txt"))
        EXPECT_EQ(Call(row.fields), row.expected) << row.line;
}

TEST(HBString, FormatAnyLengthAndNullArguments)
{
    EXPECT_EQ(HBString::Format("[0x%llx:0x%x:0x%x]", 0x200000401ULL, 0x1u, 0x0u), "[0x200000401:0x1:0x0]");
    const std::string big(100000, 'z');
    EXPECT_EQ(HBString::Format("<%s>%d", big.c_str(), -7), "<" + big + ">-7");
    EXPECT_EQ(HBString::FindString(nullptr, "a", true), nullptr);
    EXPECT_EQ(HBString::FindString("a", nullptr, true), nullptr);
}

}  // namespace
