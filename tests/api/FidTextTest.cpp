// The FID value type and its text form: what the string constructor accepts,
// what it refuses with a log line, and what it lets throw.
#include <cerrno>
#include <stdexcept>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using apitest::CapturingLogWriter;
using LustreAPI::CLustreFID;

enum class Outcome { Value, Refused, InvalidArgument, OutOfRange };

struct TextCase {
    const char* text;
    Outcome outcome;
    unsigned long long seq;
    unsigned int oid;
    unsigned int ver;
    const char* detail;  // Refused: the text in the log line; throws: the exception's what()
};

const TextCase kTextCases[] = {
    {"[0x200:0x1c:0x0]", Outcome::Value, 0x200, 0x1c, 0, nullptr},
    {"0x200:0x1c:0x0", Outcome::Value, 0x200, 0x1c, 0, nullptr},
    {"[[0x1:0x2:0x3]]", Outcome::Value, 1, 2, 3, nullptr},
    {"200:28:0", Outcome::Value, 200, 28, 0, nullptr},
    {"[010:0x1:0x0]", Outcome::Value, 8, 1, 0, nullptr},
    {"[0X2A:0XFF:0x0]", Outcome::Value, 42, 255, 0, nullptr},
    {"[0xffffffffffffffff:0xffffffff:0xffffffff]", Outcome::Value, ~0ULL, 0xffffffffu, 0xffffffffu, nullptr},
    // Pieces after the third are not read; trailing garbage in a piece is ignored.
    {"[0x200:0x1c:0x0:anything]", Outcome::Value, 0x200, 0x1c, 0, nullptr},
    {"[0x200:0x1cz:0x0]", Outcome::Value, 0x200, 0x1c, 0, nullptr},
    {"[0x1:0xg:0x0]", Outcome::Value, 1, 0, 0, nullptr},
    {"0x1:0x2:0x3\n", Outcome::Value, 1, 2, 3, nullptr},
    // A blank after the closing bracket keeps ']' in the last piece, behind its digits.
    {"[0x200:0x1c:0x0] ", Outcome::Value, 0x200, 0x1c, 0, nullptr},
    // Object id and version keep their low 32 bits.
    {"[0x1:0x100000002:0x0]", Outcome::Value, 1, 2, 0, nullptr},
    {"[0x1:0x1:0x1ffffffff]", Outcome::Value, 1, 1, 0xffffffffu, nullptr},
    // Wrong shape: logged with the trimmed text, all fields 0.
    {"[0x200:0x1c]", Outcome::Refused, 0, 0, 0, "0x200:0x1c"},
    {" [0x200:0x1c:0x0]", Outcome::Refused, 0, 0, 0, " [0x200:0x1c:0x0"},
    {"[0x1:g1:0x0]", Outcome::Refused, 0, 0, 0, "0x1:g1:0x0"},
    {"[0x1::0x0]", Outcome::Refused, 0, 0, 0, "0x1::0x0"},
    {"[0x1:0x2:zz]", Outcome::Refused, 0, 0, 0, "0x1:0x2:zz"},
    {"-1:0x2:0x3", Outcome::Refused, 0, 0, 0, "-1:0x2:0x3"},
    {"\t0x1:0x2:0x3", Outcome::Refused, 0, 0, 0, "\t0x1:0x2:0x3"},
    {"\xe9:1:1", Outcome::Refused, 0, 0, 0, "\xe9:1:1"},
    {"[]", Outcome::Refused, 0, 0, 0, ""},
    {"", Outcome::Refused, 0, 0, 0, ""},
    // A hex letter passes the shape test but base 0 reads it as no number.
    {"[abc:0x1:0x0]", Outcome::InvalidArgument, 0, 0, 0, "stoull"},
    {"[0x1:abc:0x0]", Outcome::InvalidArgument, 0, 0, 0, "stoul"},
    {"[0x1:0x0:fff]", Outcome::InvalidArgument, 0, 0, 0, "stoul"},
    {"[0x10000000000000000:0x1:0x0]", Outcome::OutOfRange, 0, 0, 0, "stoull"},
    {"[0x1:0x10000000000000000:0x0]", Outcome::OutOfRange, 0, 0, 0, "stoul"},
};

// The what() of the exception of type E that parsing text throws; "no
// exception" when it throws none.
template <typename E>
std::string ThrownText(const char* text)
{
    try {
        CLustreFID fid{std::string(text)};
    } catch (const E& e) {
        return e.what();
    }
    return "no exception";
}

TEST(FidTextForm, TextFormsParseRefuseOrThrow)
{
    for (const TextCase& c : kTextCases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        CapturingLogWriter log;
        switch (c.outcome) {
        case Outcome::Value:
        case Outcome::Refused: {
            const CLustreFID fid{std::string(c.text)};
            EXPECT_EQ(fid.m_seq, c.seq);
            EXPECT_EQ(fid.m_oid, c.oid);
            EXPECT_EQ(fid.m_ver, c.ver);
            if (c.outcome == Outcome::Value) {
                EXPECT_TRUE(log.lines.empty());
            } else {
                ASSERT_EQ(log.lines.size(), 1u);
                EXPECT_EQ(log.lines[0].level, 0);
                EXPECT_EQ(log.lines[0].function, "LustreAPI::CLustreFID::CLustreFID(std::string)");
                EXPECT_EQ(log.lines[0].text, std::string("FID cannot be generated for ") + c.detail);
            }
            break;
        }
        case Outcome::InvalidArgument:
            EXPECT_EQ(ThrownText<std::invalid_argument>(c.text), c.detail);
            EXPECT_TRUE(log.lines.empty());
            break;
        case Outcome::OutOfRange:
            EXPECT_EQ(ThrownText<std::out_of_range>(c.text), c.detail);
            break;
        }
    }
}

TEST(FidTextForm, RefusalIsLoggedOnlyWhenTheLevelAllows)
{
    CapturingLogWriter log(-1);
    const CLustreFID fid{std::string("[0x1:0x2]")};
    EXPECT_EQ(fid.m_seq, 0u);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(log.levelQueries, 1);

    // No writer at all: nothing to log to, and no crash.
    LogWriter* const saved = g_ptrLogWriter;
    g_ptrLogWriter = nullptr;
    const CLustreFID quiet{std::string("nonsense")};
    g_ptrLogWriter = saved;
    EXPECT_EQ(quiet.m_oid, 0u);
}

TEST(FidTextForm, ConversionsKeepTheCallersErrno)
{
    errno = EBUSY;
    const CLustreFID fid{std::string("[0x200:0x1c:0x0]")};
    EXPECT_EQ(fid.m_seq, 0x200u);
    EXPECT_EQ(errno, EBUSY);

    errno = EBUSY;
    EXPECT_THROW(CLustreFID{std::string("[0x1:0x10000000000000000:0x0]")}, std::out_of_range);
    EXPECT_EQ(errno, ERANGE);  // the conversion's own errno stays
}

}  // namespace
