// The error object and its makers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HBError.h"

namespace {

const HBCodeLocation kFirst{"LustreAPI", "CKxError LustreAPI::LoadFunctions()", 10};
const HBCodeLocation kSecond{"LustreAPI", "int main()", 20};

TEST(CKxError, DefaultIsSuccessWithoutDetails) {
    CKxError error;
    EXPECT_EQ(error.GetCode(), 0);
    EXPECT_FALSE(error.Failed());
    EXPECT_EQ(error.GetSystemError(), 0);
    EXPECT_TRUE(error.GetMessages().empty());
    EXPECT_TRUE(error.GetLocations().empty());
    EXPECT_EQ(error.ToString(), "");
}

TEST(CKxError, CodesFromWin32AndErrno) {
    struct Row {
        CKxError error;
        int code;
        int systemError;
    } rows[] = {
        {HBErrorUtil::ErrorWin32(kFirst, 774, "x"), static_cast<int>(0x80070306u), 774},
        {HBErrorUtil::ErrorWin32(kFirst, 0x12345, "x"), static_cast<int>(0x80072345u), 0x12345},
        {HBErrorUtil::ErrorWin32(kFirst, 0, "x"), static_cast<int>(0x80070000u), 0},
        {HBErrorUtil::ErrorErrNo(kFirst, 2, "x"), -2, 2},
        {HBErrorUtil::ErrorErrNo(kFirst, 0, "x"), -1, 0},
        {HBErrorUtil::ErrorErrNo(kFirst, -5, "x"), -1, -5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.systemError);
        EXPECT_EQ(row.error.GetCode(), row.code);
        EXPECT_TRUE(row.error.Failed());
        EXPECT_EQ(row.error.GetSystemError(), row.systemError);
    }
}

TEST(CKxError, MessagesAndLocationsInOrder) {
    CKxError error = HBErrorUtil::ErrorWin32(kFirst, 774, "Failed to run %s on %s", "lctl", "mdt0");
    error.Push(kSecond, "binding failed").Push(kFirst, "%d%%", 5);
    EXPECT_EQ(error.GetMessages(),
              (std::vector<std::string>{"Failed to run lctl on mdt0", "binding failed", "5%"}));
    const std::vector<HBCodeLocation> where = error.GetLocations();
    ASSERT_EQ(where.size(), 3u);
    const int lines[] = {10, 20, 10};
    for (size_t i = 0; i < where.size(); ++i) EXPECT_EQ(where[i].m_line, lines[i]) << i;
    EXPECT_STREQ(where[1].m_function, "int main()");
    EXPECT_EQ(error.GetCode(), static_cast<int>(0x80070306u));  // Push keeps the code
    EXPECT_EQ(error.ToString(),
              "LustreAPI:10 CKxError LustreAPI::LoadFunctions(): Failed to run lctl on mdt0\n"
              "LustreAPI:20 int main(): binding failed\n"
              "LustreAPI:10 CKxError LustreAPI::LoadFunctions(): 5%");
}

TEST(CKxError, PushOnSuccessMakesAFailure) {
    CKxError error;
    error.Push(kSecond, "something went wrong");
    EXPECT_EQ(error.GetCode(), -1);
    EXPECT_EQ(error.GetMessages(), std::vector<std::string>{"something went wrong"});
    EXPECT_EQ(error.GetSystemError(), 0);
}

}  // namespace
