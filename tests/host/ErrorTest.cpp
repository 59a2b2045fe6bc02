// The error object and its makers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HBError.h"

namespace {

const HBCodeLocation kFirst{"LustreAPI", "CKxError LustreAPI::LoadFunctions()", 10};
const HBCodeLocation kSecond{"LustreAPI", "int main()", 20};

TEST(CKxError, CodesOfSuccessWin32AndErrno)
{
    CKxError pushed;
    pushed.Push(kSecond, "something went wrong");  // a failure without a code of its own
    const struct Row {
        CKxError error;
        int code;
        int systemError;
        size_t messages;
    } rows[] = {
        {CKxError(), 0, 0, 0},
        {pushed, -1, 0, 1},
        {HBErrorUtil::ErrorWin32(kFirst, 774, "x"), static_cast<int>(0x80070306u), 774, 1},
        {HBErrorUtil::ErrorWin32(kFirst, 0x12345, "x"), static_cast<int>(0x80072345u), 0x12345, 1},
        {HBErrorUtil::ErrorWin32(kFirst, 0, "x"), static_cast<int>(0x80070000u), 0, 1},
        {HBErrorUtil::ErrorErrNo(kFirst, 2, "x"), -2, 2, 1},
        {HBErrorUtil::ErrorErrNo(kFirst, 0, "x"), -1, 0, 1},
        {HBErrorUtil::ErrorErrNo(kFirst, -5, "x"), -1, -5, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error.ToString());
        EXPECT_EQ(row.error.GetCode(), row.code);
        EXPECT_EQ(row.error.Failed(), row.code != 0);
        EXPECT_EQ(row.error.GetSystemError(), row.systemError);
        EXPECT_EQ(row.error.GetMessages().size(), row.messages);
        EXPECT_EQ(row.error.GetLocations().size(), row.messages);
    }
}

TEST(CKxError, MessagesAndLocationsInOrder)
{
    CKxError error = HBErrorUtil::ErrorWin32(kFirst, 774, "Failed to run %s on %s", "lctl", "mdt0");
    error.Push(kSecond, "binding failed").Push(kFirst, "%d%%", 5);
    EXPECT_EQ(error.GetCode(), static_cast<int>(0x80070306u));  // Push keeps the code
    EXPECT_EQ(error.GetLocations().at(1).m_line, 20);
    EXPECT_EQ(error.ToString(),
              "LustreAPI:10 CKxError LustreAPI::LoadFunctions(): Failed to run lctl on mdt0\n"
              "LustreAPI:20 int main(): binding failed\n"
              "LustreAPI:10 CKxError LustreAPI::LoadFunctions(): 5%");
}

}  // namespace
