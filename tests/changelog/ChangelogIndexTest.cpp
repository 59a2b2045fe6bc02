// GetChangelogCurrentIndex and GetStartAndEndChangelogRecordNumbers over the
// changelog_users listings of every Lustre version.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "LustreAPI.h"

using namespace changelog_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char kParseError[] = "Cannot parse the output of this command lctl get_param mdd.MDT-name.changelog_users";

// Listings as lctl frames them, per version (server text and lctl framing).
struct Listing {
    const char* what;
    const char* text;
    const char* currentIndex;
};

const Listing kListings[] = {
    {"2.10, lctl 2.7-2.14: value on the name line",
     "mdd.lustre-MDT0000.changelog_users=current index: 5\n"
     "ID    index\n"
     "cl1   5\n",
     "5"},
    {"2.10, two users: value on its own line",
     "mdd.lustre-MDT0000.changelog_users=\n"
     "current index: 17\n"
     "ID    index\n"
     "cl1   3\n"
     "cl2   17\n",
     "17"},
    {"2.11-2.14, observed",
     "mdd.lustre-MDT0000.changelog_users=\n"
     "current index: 34\n"
     "ID    index (idle seconds)\n"
     "cl1   0 (1725676)\n"
     "cl2   34 (28)\n",
     "34"},
    {"2.11-2.14, no users: value on the name line",
     "mdd.lustre-MDT0000.changelog_users=current index: 12\n"
     "ID    index (idle seconds)\n",
     "12"},
    {"2.15 and 2.16",
     "mdd.lustre-MDT0000.changelog_users=\n"
     "current_index: 42\n"
     "ID                            index (idle) mask\n"
     "cl1                              42 (120)\n"
     "cl2-watcher                      42 (5) mask=MARK,CREAT,MKDIR,HLINK,SLINK,MKNOD,UNLNK,RMDIR,RENME,RNMTO,"
     "CLOSE,LYOUT,TRUNC,SATTR,XATTR,HSM,MTIME,CTIME,MIGRT,FLRW,RESYNC\n",
     "42"},
    {"2.15 server text under an older lctl: value on the name line",
     "mdd.lustre-MDT0000.changelog_users=current_index: 7\n"
     "ID                            index (idle) mask\n",
     "7"},
    {"the manual's sample",
     "mdd.lustre-MDT0000.changelog_users=current index: 8\n"
     "ID    index (idle seconds)\n"
     "audit-cl2   8 (180)\n",
     "8"},
    {"get_param -n: no name line", "current index: 99\nID    index\n", "99"},
};

class ChangelogIndex : public ::testing::Test {
protected:
    CKxError CurrentIndex() {
        return LustreAPI::GetChangelogCurrentIndex("mds1", "lustre-MDT0000", "lustre", "root", currentIndex);
    }
    CKxError StartAndEnd(const std::string& reader) {
        return LustreAPI::GetStartAndEndChangelogRecordNumbers("mds1", "lustre-MDT0000", "lustre", "root", reader,
                                                               startRecord, endRecord);
    }
    void Listed(const std::string& text) {
        tools.SetOutput("lctl", text);
        log.lines.clear();
        log.events.clear();
        currentIndex = startRecord = endRecord = "before";
    }

    FakeTools tools;
    RecordingLogWriter log;
    std::string currentIndex;
    std::string startRecord;
    std::string endRecord;
};

// ---- Current index ----------------------------------------------------------

TEST_F(ChangelogIndex, CurrentIndexOfEveryListing) {
    for (const Listing& listing : kListings) {
        SCOPED_TRACE(listing.what);
        Listed(listing.text);
        EXPECT_FALSE(CurrentIndex().Failed());
        EXPECT_EQ(currentIndex, listing.currentIndex);
        EXPECT_THAT(log.Texts(), ElementsAre(std::string("The Current Index for Changelogs at MDT lustre-MDT0000 is ") +
                                             listing.currentIndex));
        EXPECT_EQ(log.lines.at(0).function, kCurrentIndexFunction);
    }
    EXPECT_THAT(tools.Invocations().at(0),
                "ssh [root@mds1] [lctl get_param mdd.lustre-MDT0000.changelog_users]");
    EXPECT_THAT(tools.Invocations().at(1), "lctl [get_param] [mdd.lustre-MDT0000.changelog_users]");
}

TEST_F(ChangelogIndex, CurrentIndexValueIsTakenAsText) {
    struct Row {
        const char* what;
        const char* text;
        const char* value;
    } rows[] = {
        {"nothing after the prefix", "current index: \n", ""},
        {"trailing blanks stay", "current index: 12  \n", "12  "},
        {"only the first line counts", "current index: 1\ncurrent index: 2\n", "1"},
        {"both spellings: the first line counts", "current_index: 3\ncurrent index: 4\n", "3"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Listed(row.text);
        EXPECT_FALSE(CurrentIndex().Failed());
        EXPECT_EQ(currentIndex, row.value);
    }
}

TEST_F(ChangelogIndex, CurrentIndexFailures) {
    const std::string notFound = "Cannot get changelog current index from the MDT lustre-MDT0000";
    struct Row {
        const char* what;
        const char* text;
        std::string error;
    } rows[] = {
        {"no digits' blank after the colon", "mdd.lustre-MDT0000.changelog_users=current index:5\n", kParseError},
        {"the prefix inside a line without '='", "x current index: 5\n", kParseError},
        {"the underscore prefix inside a line without '='", "x current_index: 5\n", kParseError},
        {"an unreadable first line hides a good one", "x current index: 1\ncurrent index: 2\n", kParseError},
        {"no current-index line", "ID    index\ncl1   5\n", notFound},
        {"other capitals", "Current Index: 5\n", notFound},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Listed(row.text);
        EXPECT_TRUE(IsError774(CurrentIndex(), row.error, kCurrentIndexFunction));
        EXPECT_EQ(currentIndex, "before");
        EXPECT_THAT(log.lines, IsEmpty());
    }
}

// ---- Start and end record numbers -----------------------------------------

TEST_F(ChangelogIndex, StartAndEndOfEveryListing) {
    struct Row {
        std::size_t listing;
        const char* reader;
        const char* start;
    } rows[] = {
        {0, "cl1", "5"},  {1, "cl1", "3"},  {1, "cl2", "17"},   {2, "cl1", "0"},
        {2, "cl2", "34"}, {4, "cl1", "42"}, {4, "cl2-watcher", "42"},
        {6, "audit-cl2", "8"},
    };
    for (const Row& row : rows) {
        const Listing& listing = kListings[row.listing];
        SCOPED_TRACE(std::string(listing.what) + ", reader " + row.reader);
        Listed(listing.text);
        EXPECT_FALSE(StartAndEnd(row.reader).Failed());
        EXPECT_EQ(startRecord, row.start);
        EXPECT_EQ(endRecord, listing.currentIndex);
        EXPECT_THAT(log.Texts(),
                    ElementsAre(std::string("The End Record Number for Changelogs at MDT lustre-MDT0000 is ") +
                                    listing.currentIndex,
                                std::string("The Start Record Number for Changelogs at MDT lustre-MDT0000 is ") +
                                    row.start));
        EXPECT_EQ(log.lines.at(0).function, kStartAndEndFunction);
    }
}

TEST_F(ChangelogIndex, StartAndEndReadingRules) {
    struct Row {
        const char* what;
        const char* text;
        const char* reader;
        const char* start;
        const char* end;
    } rows[] = {
        {"the later current-index line counts", "current index: 1\ncl1 4\ncurrent index: 2\n", "cl1", "4", "2"},
        {"the later reader line counts", "current index: 9\ncl1 4\ncl1 6\n", "cl1", "6", "9"},
        {"a longer identifier is another reader's", "current index: 9\ncl1 4\ncl10 6\ncl1-name 7\n", "cl1", "4",
         "9"},
        {"no current-index line leaves the end alone", "cl1 4\n", "cl1", "4", "before"},
        {"a tab after the identifier stays", "current index: 9\ncl1\t4\n", "cl1", "\t4", "9"},
        {"other shapes stay whole", "current index: 9\ncl1   5 extra words  \n", "cl1", "5 extra words", "9"},
        {"no blank before the parenthesis", "current index: 9\ncl1 5(3)\n", "cl1", "5(3)", "9"},
        {"a non-mask suffix", "current index: 9\ncl1 5 (3) idle\n", "cl1", "5 (3) idle", "9"},
        {"the identifier inside another word", "current index: 9\ncl2-cl1 3\ncl1 4\n", "cl1", "4", "9"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Listed(row.text);
        EXPECT_FALSE(StartAndEnd(row.reader).Failed());
        EXPECT_EQ(startRecord, row.start);
        EXPECT_EQ(endRecord, row.end);
    }
}

TEST_F(ChangelogIndex, StartAndEndFailures) {
    const std::string notFound = "Cannot find the changelog reader cl1 in the MDT lustre-MDT0000 for Lustre FS lustre";
    struct Row {
        const char* what;
        const char* text;
        const char* reader;
        std::string error;
        const char* startBefore;
        const char* start;
        const char* end;
    } rows[] = {
        {"reader absent: the end is still read", "current index: 9\ncl2 4\n", "cl1", notFound, "before", "before", "9"},
        // Whether the reader was found is this call's finding, not the caller's value.
        {"reader absent, start preset", "current index: 9\ncl2 4\n", "cl1", notFound, "17", "17", "9"},
        {"reader line without a value", "current index: 9\ncl1   \n", "cl1", notFound, "before", "", "9"},
        {"an empty reader finds nothing", "current index: 9\n 4\n", "",
         "Cannot find the changelog reader  in the MDT lustre-MDT0000 for Lustre FS lustre", "before", "before", "9"},
        {"the identifier as a word elsewhere", "current index: 9\ncl1 4\nreader cl1 5\n", "cl1", kParseError,
         "before", "4", "9"},
        {"unreadable current-index line", "cl1 4\nname=current index:9\n", "cl1", kParseError, "before", "4",
         "before"},
        {"current-index text without '='", "cl1 4\nthe current index: 9\n", "cl1", kParseError, "before", "4",
         "before"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Listed(row.text);
        startRecord = row.startBefore;
        EXPECT_TRUE(IsError774(StartAndEnd(row.reader), row.error, kStartAndEndFunction));
        EXPECT_EQ(startRecord, row.start);
        EXPECT_EQ(endRecord, row.end);
    }
}

}  // namespace
