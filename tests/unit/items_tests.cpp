// Advise links counted per item and per conversation, their log lines and
// handle references, and the posting rotation of the tick.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FakeDdeInstance.h"
#include "FakeOpcServer.h"
#include "LogCapture.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

using test::FakeDdeInstance;
using test::LogCapture;

HCONV conversationOf(UINT_PTR value) {
    return reinterpret_cast<HCONV>(value);
}

class ItemLinksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        group = test::makeTopicGroup();
        log.clear();
    }
    void TearDown() override { group.reset(); }

    DdeTransaction transaction(UINT type, UINT_PTR conversation, HSZ item) {
        DdeTransaction t;
        t.type = type;
        t.format = CF_TEXT;
        t.conversation = conversationOf(conversation);
        t.topic = group->topicHandle;
        t.item = item;
        return t;
    }
    int start(UINT_PTR conversation, HSZ item) {
        return group->adviseStart(transaction(XTYP_ADVSTART, conversation, item));
    }
    int stop(UINT_PTR conversation, HSZ item) {
        return group->adviseStop(transaction(XTYP_ADVSTOP, conversation, item));
    }
    int disconnect(UINT_PTR conversation) {
        return group->disconnect(transaction(XTYP_DISCONNECT, conversation, nullptr));
    }

    FakeDdeInstance dde;
    test::FakeOpcServer server;
    test::FakeServerActivation activation;
    LogCapture log;
    std::unique_ptr<TopicGroup> group;
};

TEST_F(ItemLinksTest, FirstLinkIsLoggedWithTheCountAndHoldsItsReferences) {
    HSZ boiler = dde.handle(L"Boiler.Temp");
    group->settleTicks = 77;
    EXPECT_EQ(start(1, boiler), 1);
    EXPECT_EQ(log.infoLines(),
              std::vector<std::wstring>{L"情報：「Line1」アイテム「Boiler.Temp」のリンク。(1)"});
    EXPECT_EQ(group->settleTicks, 0);
    EXPECT_EQ(group->linkedCount, 1);
    // One for the link, one for the entry while it stays in the table.
    EXPECT_EQ(dde.references[keyOf(boiler)], 2);
    EXPECT_EQ(group->itemTable.at(keyOf(boiler)).itemId.str(), L"Boiler.Temp");

    log.clear();
    EXPECT_EQ(stop(1, boiler), 1);
    EXPECT_EQ(log.infoLines(), std::vector<std::wstring>{
                                   L"情報：「Line1」アイテム「Boiler.Temp」のリンク解除。(0)"});
    // The entry waits for the remove pass, its handle still held.
    EXPECT_EQ(dde.references[keyOf(boiler)], 1);
    EXPECT_EQ(group->itemTable.count(keyOf(boiler)), 1u);
}

TEST_F(ItemLinksTest, StopFromAConversationThatNeverLinkedChangesNothing) {
    HSZ item = dde.handle(L"A");
    start(1, item);
    log.clear();
    EXPECT_EQ(stop(2, item), 1);
    EXPECT_EQ(stop(1, dde.handle(L"Other")), 1);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(group->itemTable.at(keyOf(item)).linkCount, 1);
    // A second stop of the same conversation finds nothing either.
    stop(1, item);
    log.clear();
    stop(1, item);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(group->linkedCount, 0);
}

TEST_F(ItemLinksTest, RefusedAdviseIsNotListedForTheConversation) {
    HSZ item = dde.handle(L"A");
    dde.failQuery = true;
    EXPECT_EQ(start(1, item), 0);
    EXPECT_EQ(log.errorLines(),
              std::vector<std::wstring>{L"異常：「Line1」アイテム名の取得に失敗。"});
    EXPECT_EQ(group->conversationLinks.count(1), 0u);
    // Nothing is left of a refused first link: no entry, no reference.
    EXPECT_EQ(group->itemTable.count(keyOf(item)), 0u);
    EXPECT_EQ(dde.references[keyOf(item)], 0);
    dde.failQuery = false;

    start(2, item);
    log.clear();
    disconnect(1);  // must not take conversation 2's link away
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(group->itemTable.at(keyOf(item)).linkCount, 1);

    dde.failKeep = true;
    HSZ other = dde.handle(L"B");
    EXPECT_EQ(start(3, other), 0);
    EXPECT_EQ(log.errorLines(),
              std::vector<std::wstring>{L"異常：「Line1」アイテムのリンクに失敗。"});
    EXPECT_EQ(group->linkedCount, 1);
    EXPECT_EQ(group->itemTable.count(keyOf(other)), 0u);
}

TEST_F(ItemLinksTest, DestructionReleasesLinkReferencesWithoutUnlinkLines) {
    HSZ a = dde.handle(L"A");
    HSZ b = dde.handle(L"B");
    start(1, a);
    start(2, b);
    start(3, b);
    log.clear();
    group.reset();
    EXPECT_EQ(log.infoLines(), std::vector<std::wstring>{L"情報：「Line1」の解放。"});
    EXPECT_EQ(dde.references[keyOf(a)], 0);
    EXPECT_EQ(dde.references[keyOf(b)], 0);
}

class TickTest : public ItemLinksTest {
  protected:
    void markDirty(int count) {
        for (int i = 0; i < count; ++i) {
            group->dirtyItems.insert(0xC100 + i);
        }
    }
    size_t postsAfterTick() {
        const size_t before = dde.posts.size();
        group->tick();
        return dde.posts.size() - before;
    }
};

TEST_F(TickTest, TwelveDirtyItemsArePostedFiveFiveTwo) {
    markDirty(12);
    group->settleTicks = 1000;
    EXPECT_EQ(postsAfterTick(), 5u);
    EXPECT_EQ(group->postCursor, 0xC104u);
    EXPECT_EQ(postsAfterTick(), 5u);
    EXPECT_EQ(postsAfterTick(), 2u);
    EXPECT_EQ(group->postCursor, 0u);
    EXPECT_TRUE(group->dirtyItems.empty());
    for (size_t i = 0; i < dde.posts.size(); ++i) {
        EXPECT_EQ(dde.posts[i].first, keyOf(group->topicHandle));
        EXPECT_EQ(dde.posts[i].second, 0xC100 + i);
    }
}

TEST_F(TickTest, TenDirtyItemsLeaveTheThirdTickOnlyResettingTheCursor) {
    markDirty(10);
    group->settleTicks = 1000;
    EXPECT_EQ(postsAfterTick(), 5u);
    EXPECT_EQ(postsAfterTick(), 5u);
    EXPECT_EQ(group->postCursor, 0xC109u);
    EXPECT_EQ(postsAfterTick(), 0u);
    EXPECT_EQ(group->postCursor, 0u);
}

TEST_F(TickTest, AHandleBelowTheCursorWaitsForTheNextRound) {
    markDirty(7);
    group->settleTicks = 1000;
    postsAfterTick();  // C100..C104 posted
    group->dirtyItems.insert(0xC050);
    EXPECT_EQ(postsAfterTick(), 2u);  // C105, C106, then the end: no wrap
    EXPECT_EQ(group->postCursor, 0u);
    EXPECT_EQ(postsAfterTick(), 1u);
    EXPECT_EQ(dde.posts.back().second, 0xC050u);
}

TEST_F(TickTest, SettleCounterCyclesAndPassesRunOnceAt200) {
    group->settleTicks = 9999;
    group->tick();
    EXPECT_EQ(group->settleTicks, 10000);
    group->tick();
    EXPECT_EQ(group->settleTicks, 1000);

    // An unlinked entry is discarded by the pass at the 200th tick, not before.
    HSZ item = dde.handle(L"A");
    start(1, item);
    stop(1, item);
    for (int i = 0; i < 199; ++i) {
        group->tick();
    }
    EXPECT_EQ(group->itemTable.count(keyOf(item)), 1u);
    group->tick();
    EXPECT_EQ(group->settleTicks, 200);
    EXPECT_EQ(group->itemTable.count(keyOf(item)), 0u);
}

}  // namespace
}  // namespace korven
