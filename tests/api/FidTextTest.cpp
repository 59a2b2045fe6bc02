// The FID value type and its text form: what the string constructor accepts,
// what it refuses with a log line, and what it lets throw (data/fid_text.txt).
#include <cerrno>
#include <stdexcept>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using LustreAPI::CLustreFID;
using testsupport::CapturingLogWriter;

// What constructing a FID from text gives: its fields and the lines logged,
// or the exception thrown.
std::string Parse(const std::string& text)
{
    CapturingLogWriter log;
    std::string outcome;
    try {
        const CLustreFID fid{text};
        char fields[64];
        std::snprintf(fields, sizeof fields, "0x%llx:0x%x:0x%x", fid.m_seq, fid.m_oid, fid.m_ver);
        outcome = fields;
    } catch (const std::invalid_argument& e) {
        outcome = std::string("invalid_argument ") + e.what();
    } catch (const std::out_of_range& e) {
        outcome = std::string("out_of_range ") + e.what();
    }
    for (const auto& line : log.lines) {
        EXPECT_EQ(line.level, 0);
        EXPECT_EQ(line.function, "LustreAPI::CLustreFID::CLustreFID(std::string)");
        outcome += "; logged " + line.text;
    }
    return outcome;
}

TEST(FidTextForm, TextFormsParseRefuseOrThrow)
{
    for (const testsupport::DataRow& row : testsupport::ReadRows(API_DATA_DIR "/fid_text.txt")) {
        EXPECT_EQ(Parse(row.fields.at(0)), row.expected) << row.line;
    }
}

// The level's gate is the binding test's (full-quiet); with no writer at all
// there is nothing to log to, and no crash.
TEST(FidTextForm, RefusalWithoutAWriter)
{
    LogWriter* const saved = g_ptrLogWriter;
    g_ptrLogWriter = nullptr;
    const CLustreFID quiet{std::string("nonsense")};
    g_ptrLogWriter = saved;
    EXPECT_EQ(quiet.m_oid, 0u);
}

TEST(FidTextForm, ConversionsKeepTheCallersErrno)
{
    errno = EBUSY;
    CLustreFID{std::string("[0x200:0x1c:0x0]")};
    EXPECT_EQ(errno, EBUSY);

    errno = EBUSY;
    EXPECT_THROW(CLustreFID{std::string("[0x1:0x10000000000000000:0x0]")}, std::out_of_range);
    EXPECT_EQ(errno, ERANGE);  // the conversion's own errno stays
}

}  // namespace
