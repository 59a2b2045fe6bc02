// String and path utilities.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "HBPath.h"
#include "HBString.h"

namespace {

TEST(HBString, SplitKeepsEmptyPieces) {
    struct Row {
        const char* text;
        const char* separator;
        std::vector<std::string> pieces;
    } rows[] = {
        {"a::b", ":", {"a", "", "b"}},
        {"a\n", "\n", {"a", ""}},
        {"", "\n", {""}},
        {"abc", ",", {"abc"}},
        {":", ":", {"", ""}},
        {"a, b, ", ", ", {"a", "b", ""}},
        {"aaa", "aa", {"", "a"}},
        {"a:b", "", {"a:b"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("text \"") + row.text + "\" at \"" + row.separator + "\"");
        std::vector<std::string> vectorPieces{"kept"};
        HBString::Split(row.text, row.separator, vectorPieces, 0);
        std::vector<std::string> expected{"kept"};
        expected.insert(expected.end(), row.pieces.begin(), row.pieces.end());
        EXPECT_EQ(vectorPieces, expected);  // appended, not replaced
        std::list<std::string> listPieces;
        HBString::Split(row.text, row.separator, listPieces, 0);
        EXPECT_EQ(std::vector<std::string>(listPieces.begin(), listPieces.end()), row.pieces);
    }
}

TEST(HBString, TrimBySet) {
    struct Row {
        const char* text;
        const char* characters;
        const char* trimmed;
        const char* leftTrimmed;
    } rows[] = {
        {"  a b \t", " \t", "a b", "a b \t"},
        {"\n\n", "\n", "", ""},
        {"", " ", "", ""},
        {"xaxbx", "x", "axb", "axbx"},
        {" a ", "", " a ", " a "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::string text = row.text;
        HBString::Trim(text, row.characters);
        EXPECT_EQ(text, row.trimmed);
        text = row.text;
        HBString::TrimLeft(text, row.characters);
        EXPECT_EQ(text, row.leftTrimmed);
    }
}

// RemoveLeft and FindString as the listing readers use them: case-sensitive.
TEST(HBString, RemoveLeftAndFindStringAreCaseSensitive) {
    std::string text = "cl1: Registered";
    EXPECT_TRUE(HBString::RemoveLeft(text, "cl1: "));
    EXPECT_FALSE(HBString::RemoveLeft(text, "registered"));
    EXPECT_FALSE(HBString::RemoveLeft(text, "Registered!"));
    EXPECT_TRUE(HBString::RemoveLeft(text, ""));
    EXPECT_EQ(text, "Registered");
    const char* line = "mdd.lustre-MDT0000.changelog_users=current index: 5";
    EXPECT_EQ(HBString::FindString(line, "current index:", true), line + 35);
    EXPECT_EQ(HBString::FindString(line, "Current index:", true), nullptr);
    EXPECT_EQ(HBString::FindString(line, "", true), line);
    EXPECT_EQ(HBString::FindString(nullptr, "a", true), nullptr);
}

TEST(HBString, FormatAnyLength) {
    EXPECT_EQ(HBString::Format("[0x%llx:0x%x:0x%x]", 0x200000401ULL, 0x1u, 0x0u), "[0x200000401:0x1:0x0]");
    const std::string big(100000, 'z');
    EXPECT_EQ(HBString::Format("<%s>%d", big.c_str(), -7), "<" + big + ">-7");
    EXPECT_EQ(HBString::Format("%s", ""), "");
}

TEST(HBPath, AppendWithExactlyOneSlash) {
    struct Row {
        const char* path;
        const char* component;
        const char* joined;
    } rows[] = {
        {"/mnt/lustre", "dir/file", "/mnt/lustre/dir/file"},
        {"/mnt/lustre/", "dir", "/mnt/lustre/dir"},
        {"/mnt/lustre", "/dir", "/mnt/lustre/dir"},
        {"/mnt/lustre/", "//dir", "/mnt/lustre/dir"},
        {"/", "dir", "/dir"},
        {"", "dir/", "dir/"},
        {"", "/dir", "/dir"},
        {"/mnt", "", "/mnt"},
        {"/mnt", "/", "/mnt/"},
    };
    for (const Row& row : rows) {
        std::string path = row.path;
        EXPECT_FALSE(HBPath::Append(path, row.component, 0).Failed());
        EXPECT_EQ(path, row.joined) << "\"" << row.path << "\" + \"" << row.component << "\"";
    }
}

}  // namespace
