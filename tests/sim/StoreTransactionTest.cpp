// The state store's transactions are whole or absent: a statement that fails
// inside one leaves nothing of the transaction behind, and the failure is
// what Commit reports. Every change the stand-in makes rests on this.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ChangelogStore.h"
#include "StateDb.h"
#include "TestSupport.h"

namespace {

TEST(StoreTransaction, AFailedStatementUndoesTheStatementsBeforeIt)
{
    testsupport::TempDir dir;
    std::string error;
    const std::unique_ptr<sim::StateDb> db = sim::StateDb::Open(dir.path(), error);
    ASSERT_TRUE(db) << error;
    sim::ChangelogStore store(*db, "lustre-MDT0000");
    {
        sim::Transaction tx(*db);
        ASSERT_TRUE(tx.Begun());
        EXPECT_TRUE(store.Append(1, "first"));
        sim::MdtChangelog log;
        log.lastUser = 1;
        log.users.push_back({1, 0, 0, "", false, 0});
        EXPECT_TRUE(store.SaveHead(log));
        // Index 1 is taken: the second record cannot be kept.
        EXPECT_FALSE(store.Append(1, "second"));
        EXPECT_FALSE(tx.Commit());
        EXPECT_NE(tx.Error(), "");
    }
    // Neither the record, the index nor the reader that went before it.
    sim::Transaction tx(*db, sim::Transaction::kRead);
    ASSERT_TRUE(tx.Begun()) << tx.Error();
    uint64_t index = 99;
    std::vector<std::string> records{"left over"};
    sim::MdtChangelog log;
    EXPECT_TRUE(store.CurrentIndex(index));
    EXPECT_TRUE(store.Read(0, 10, records));
    EXPECT_TRUE(store.LoadHead(log));
    EXPECT_EQ(index, 0u);
    EXPECT_TRUE(records.empty());
    EXPECT_TRUE(log.users.empty());
    // The next transaction starts clean and commits.
    EXPECT_TRUE(tx.Commit()) << tx.Error();
    sim::Transaction again(*db);
    EXPECT_TRUE(store.Append(1, "again"));
    EXPECT_TRUE(again.Commit()) << again.Error();
}

}  // namespace
