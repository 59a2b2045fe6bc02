// The listing readers and the argument checks, called directly on lines of
// real lctl output and on hostile values.
#include <gtest/gtest.h>

#include "ArgumentChecks.h"
#include "ChangelogListing.h"

using namespace LustreAPI;

namespace {

const char* KindName(ListingLine kind) {
    return kind == ListingLine::None ? "None" : kind == ListingLine::Value ? "Value" : "ParseError";
}

struct Expected {
    ListingLine kind;
    const char* value;  // for Value
};

void Check(const char* line, ListingLine kind, const std::string& value, const Expected& expected) {
    SCOPED_TRACE(::testing::PrintToString(std::string(line)));
    EXPECT_STREQ(KindName(kind), KindName(expected.kind));
    EXPECT_EQ(value, expected.kind == ListingLine::Value ? expected.value : "untouched");
}

TEST(ListingReaders, CurrentIndexLine) {
    const struct Row {
        const char* line;
        Expected expected;
    } rows[] = {
        {"current index: 5", {ListingLine::Value, "5"}},                         // up to 2.14, -n
        {"current_index: 42", {ListingLine::Value, "42"}},                       // 2.15 on
        {"mdd.lustre-MDT0000.changelog_users=current index: 5", {ListingLine::Value, "5"}},
        {"mdd.lustre-MDT0000.changelog_users=current_index: 7", {ListingLine::Value, "7"}},
        {"current index: ", {ListingLine::Value, ""}},
        {"current index: 12  ", {ListingLine::Value, "12  "}},                   // not trimmed
        {"mdd.x.changelog_users=current index:5", {ListingLine::ParseError, ""}},
        {"x current index: 5", {ListingLine::ParseError, ""}},
        {"x current_index: 5", {ListingLine::ParseError, ""}},
        {"Current Index: 5", {ListingLine::None, ""}},
        {"ID    index (idle seconds)", {ListingLine::None, ""}},
        {"cl1   5", {ListingLine::None, ""}},
    };
    for (const Row& row : rows) {
        std::string value = "untouched";
        Check(row.line, ReadCurrentIndexLine(row.line, value), value, row.expected);
    }
}

TEST(ListingReaders, ReaderLine) {
    const struct Row {
        const char* line;
        const char* user;
        Expected expected;
    } rows[] = {
        {"cl1   5", "cl1", {ListingLine::Value, "5"}},                           // 2.10
        {"cl1   0 (1725676)", "cl1", {ListingLine::Value, "0"}},                 // 2.11-2.14
        {"cl2-watcher                      42 (5) mask=MARK,CREAT", "cl2-watcher", {ListingLine::Value, "42"}},
        {"cl1                              42 (120)", "cl1", {ListingLine::Value, "42"}},
        {"audit-cl2   8 (180)", "audit-cl2", {ListingLine::Value, "8"}},
        {"cl1\t4", "cl1", {ListingLine::Value, "\t4"}},
        {"cl1   5 extra words  ", "cl1", {ListingLine::Value, "5 extra words"}},
        {"cl1 5(3)", "cl1", {ListingLine::Value, "5(3)"}},
        {"cl1 5 (3) idle", "cl1", {ListingLine::Value, "5 (3) idle"}},
        {"cl1 5 (3) mask:", "cl1", {ListingLine::Value, "5 (3) mask:"}},
        {"cl1   ", "cl1", {ListingLine::Value, ""}},
        {"cl10 6", "cl1", {ListingLine::None, ""}},
        {"cl1-name 7", "cl1", {ListingLine::None, ""}},
        {"cl2-cl1 3", "cl1", {ListingLine::None, ""}},
        {" 4", "", {ListingLine::None, ""}},
        {"reader cl1 5", "cl1", {ListingLine::ParseError, ""}},
        {"reader\tcl1", "cl1", {ListingLine::ParseError, ""}},
    };
    for (const Row& row : rows) {
        std::string value = "untouched";
        Check(row.line, ReadReaderLine(row.line, row.user, value), value, row.expected);
    }
}

TEST(ListingReaders, MdcLine) {
    const struct Row {
        const char* line;
        const char* fsName;
        const char* mdt;
        Expected expected;
    } rows[] = {
        {"mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp", "lustre", "lustre-MDT0000",
         {ListingLine::Value, "192.168.0.1@tcp"}},
        {"mdc.scratch1-MDT0000-mdc-ffff9bc043537800.mds_conn_uuid=", "scratch1", "scratch1-MDT0000",
         {ListingLine::Value, ""}},
        {"mdc.my-fs-MDT0003-mdc-ffff8803f0d41000.mds_conn_uuid=10.0.0.3@tcp", "my-fs", "my-fs-MDT0003",
         {ListingLine::Value, "10.0.0.3@tcp"}},
        {"mdc.lustre2-MDT0000-mdc-ffff8803f0d41001.mds_conn_uuid=192.168.0.9@tcp", "lustre", "", {}},
        {"mdc.lustre-x-MDT0000-mdc-ffff8803f0d41002.mds_conn_uuid=192.168.0.8@tcp", "lustre", "", {}},
        {"mdc.lustre-MDT0000-osc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp", "lustre", "", {}},
        {"mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp", "", "", {}},
        {"no equals sign here", "lustre", "", {}},
        {"nodot=1.2.3.4@tcp", "lustre", "", {}},
        {"mdc.lustre.mds_conn_uuid=1.2.3.4@tcp", "lustre", "", {}},
        {"mdc.lustre-.mds_conn_uuid=1.2.3.4@tcp", "lustre", "", {}},
        {"mdc.lustre-MDT0005.mds_conn_uuid=1.2.3.4@tcp", "lustre", "", {}},
        {"10.149.100.101@o2ib12345", "lustre", "", {}},
    };
    for (const Row& row : rows) {
        std::string mdt = "untouched", value = "untouched";
        const ListingLine kind = ReadMdcLine(row.line, row.fsName, mdt, value);
        Check(row.line, kind, value, row.expected);
        if (kind == ListingLine::Value) {
            EXPECT_EQ(mdt, row.mdt) << row.line;
        }
    }
}

TEST(ListingReaders, ServerAndUserNumber) {
    EXPECT_EQ(ServerOfValue("192.168.0.1@tcp"), "192.168.0.1");
    EXPECT_EQ(ServerOfValue("10.0.0.1@o2ib@x"), "10.0.0.1");
    EXPECT_EQ(ServerOfValue("mds1"), "mds1");
    EXPECT_EQ(ServerOfValue(""), "");
    const struct {
        const char* user;
        const char* number;
    } users[] = {{"cl1", "1"},  {"cl12-watcher", "12"}, {"cl07", "7"}, {"cl4294967295", "4294967295"},
                 {"cl4294967296", ""}, {"cl", ""}, {"cl-1", ""}, {"cl+1", ""}, {"cl1x", ""},
                 {"cl1_x", ""}, {"watcher", ""}, {"CL1", ""}, {"", ""}};
    for (const auto& u : users) EXPECT_EQ(ChangelogUserNumber(u.user), u.number) << u.user;
}

TEST(ArgumentChecks, RefusalsNameTheArgumentAndQuoteTheValue) {
    const struct Row {
        const char* value;
        ArgumentKind kind;
        const char* message;  // empty: accepted
    } rows[] = {
        {"Az09._-:/+,=%@x", ArgumentKind::Word, ""},
        {"Az09._-:+,=%x", ArgumentKind::Login, ""},
        {"x'; touch y; '", ArgumentKind::Word, "The value \"x'; touch y; '\" is refused: it holds the character '''"},
        {"$(id)", ArgumentKind::Word, "The value \"$(id)\" is refused: it holds the character '$'"},
        {"`id`", ArgumentKind::Word, "The value \"`id`\" is refused: it holds the character '`'"},
        {"a b", ArgumentKind::Word, "The value \"a b\" is refused: it holds the character ' '"},
        {"x|y", ArgumentKind::Word, "The value \"x|y\" is refused: it holds the character '|'"},
        {"x;y", ArgumentKind::Word, "The value \"x;y\" is refused: it holds the character ';'"},
        {"x>y", ArgumentKind::Word, "The value \"x>y\" is refused: it holds the character '>'"},
        {"*", ArgumentKind::Word, "The value \"*\" is refused: it holds the character '*'"},
        {"~root", ArgumentKind::Word, "The value \"~root\" is refused: it holds the character '~'"},
        {"x\ny", ArgumentKind::Word, "The value \"x\\x0ay\" is refused: it holds the character '\\x0a'"},
        {"x\x7fy", ArgumentKind::Word, "The value \"x\\x7fy\" is refused: it holds the character '\\x7f'"},
        {"\"x\\", ArgumentKind::Word, "The value \"\\\"x\\\\\" is refused: it holds the character '\\\"'"},
        {"caf\xc3\xa9", ArgumentKind::Word, "The value \"caf\\xc3\\xa9\" is refused: it holds the character '\\xc3'"},
        {"-oProxyCommand=x", ArgumentKind::Word, "The value \"-oProxyCommand=x\" is refused: it begins with '-'"},
        {"+x", ArgumentKind::Word, ""},
        {"", ArgumentKind::Word, "The value \"\" is refused: it is empty"},
        {"evil@mds1", ArgumentKind::Login, "The value \"evil@mds1\" is refused: it holds the character '@'"},
        {"mds1/x", ArgumentKind::Login, "The value \"mds1/x\" is refused: it holds the character '/'"},
    };
    const HBCodeLocation where{"Caller", "void Caller()", 7};
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(std::string(row.value)));
        const CKxError error = CheckCommandArgument(where, "value", row.value, row.kind);
        EXPECT_EQ(error.Failed(), *row.message != '\0');
        if (!error.Failed()) continue;
        EXPECT_EQ(error.GetMessages(), std::vector<std::string>{row.message});
        EXPECT_EQ(error.GetSystemError(), 774);
        EXPECT_STREQ(error.GetLocations().at(0).m_function, "void Caller()");
    }
    EXPECT_FALSE(CheckCommandArgument(where, "value", "", ArgumentKind::Word, true).Failed());
    // The first refusal of a list, in order.
    const std::string good = "a", bad1 = "b;", bad2 = "";
    const CKxError first = CheckCommandArguments(where, {{"one", good, ArgumentKind::Word, false},
                                                         {"two", bad1, ArgumentKind::Login, false},
                                                         {"three", bad2, ArgumentKind::Word, false}});
    EXPECT_EQ(first.GetMessages(), std::vector<std::string>{"The two \"b;\" is refused: it holds the character ';'"});
}

}  // namespace
