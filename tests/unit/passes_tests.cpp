// The debounced add and remove passes against an OPC group: batching, the
// order and arguments the server sees, error codes, handle references, and
// the state a callback finds when it arrives inside AddItems.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "FakeDdeInstance.h"
#include "FakeOpcServer.h"
#include "LogCapture.h"
#include "common/TickClock.h"
#include "dde/ItemValueText.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

using test::FakeDdeInstance;
using test::FakeOpcServer;
using test::LogCapture;

ULONGLONG gNow = 0;

class PassesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        group = test::makeTopicGroup();
        opc = server.group;
        opc->calls = nullptr;
        log.clear();
    }
    void TearDown() override { group.reset(); }

    void link(UINT_PTR conversation, HSZ item) {
        DdeTransaction t;
        t.conversation = reinterpret_cast<HCONV>(conversation);
        t.item = item;
        group->adviseStart(t);
    }
    void unlink(UINT_PTR conversation, HSZ item) {
        DdeTransaction t;
        t.conversation = reinterpret_cast<HCONV>(conversation);
        t.item = item;
        group->adviseStop(t);
    }
    void ticks(int count) {
        for (int i = 0; i < count; ++i) {
            group->tick();
        }
    }
    ItemEntry& entry(HSZ item) { return group->itemTable.at(keyOf(item)); }
    // A stream block of one VT_I4 value, sent through `sink` as the server would.
    void sendValue(IAdviseSink* sink, DWORD handle, DWORD value) {
        std::uint8_t block[20 + 12 + 16] = {};
        const DWORD one = 1, offset = 32;
        std::memcpy(block + 4, &one, 4);
        std::memcpy(block + 20, &handle, 4);
        std::memcpy(block + 24, &offset, 4);
        block[32] = VT_I4;
        std::memcpy(block + 40, &value, 4);
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, sizeof block);
        std::memcpy(GlobalLock(memory), block, sizeof block);
        GlobalUnlock(memory);
        STGMEDIUM medium{};
        medium.tymed = TYMED_HGLOBAL;
        medium.hGlobal = memory;
        sink->OnDataChange(&opc->adviseFormat, &medium);
        GlobalFree(memory);
    }
    std::string reply(HSZ item) {
        DdeTransaction t;
        t.format = CF_TEXT;
        t.item = item;
        group->requestData(t);
        return dde.dataHandles.back().bytes;
    }

    FakeDdeInstance dde;
    FakeOpcServer server;
    test::FakeServerActivation activation;
    LogCapture log;
    std::unique_ptr<TopicGroup> group;
    test::FakeOpcGroup* opc = nullptr;
};

TEST_F(PassesTest, BurstOfLinksIsAddedInOneCall200TicksAfterTheLast) {
    HSZ c = dde.handleWithValue(L"C", 0xC003);
    HSZ a = dde.handleWithValue(L"A", 0xC001);
    HSZ b = dde.handleWithValue(L"B", 0xC002);
    link(1, c);
    ticks(150);
    link(1, a);
    ticks(150);
    link(1, b);
    ticks(199);
    EXPECT_TRUE(opc->addBatches.empty());
    ticks(1);
    ASSERT_EQ(opc->addBatches.size(), 1u);
    EXPECT_TRUE(group->passOut);
    EXPECT_EQ(opc->addBatches[0], (std::vector<std::wstring>{L"A", L"B", L"C"}));
    const OPCITEMDEF& definition = opc->addDefinitions[0][0];
    EXPECT_STREQ(definition.szAccessPath, L"");
    EXPECT_EQ(definition.bActive, TRUE);
    EXPECT_EQ(definition.hClient, 0xC001u);
    EXPECT_EQ(definition.dwBlobSize, 0u);
    EXPECT_EQ(definition.pBlob, nullptr);
    EXPECT_EQ(definition.vtRequestedDataType, VT_EMPTY);
    // Added, once the answer is taken at the next tick; all posted in it.
    EXPECT_TRUE(dde.posts.empty());
    ticks(1);
    EXPECT_TRUE(entry(a).added);
    EXPECT_EQ(entry(a).serverHandle, 100u);
    EXPECT_EQ(dde.references[keyOf(a)], 2);
    EXPECT_EQ(dde.posts.size(), 3u);
    EXPECT_EQ(reply(a), std::string("#EMPTY\0", 7));
    ticks(20000);
    EXPECT_EQ(opc->addBatches.size(), 1u);
}

TEST_F(PassesTest, MissingErrorArrayIsAWholeFailure) {
    opc->addItemsNullErrors = true;
    HSZ a = dde.handle(L"A");
    link(1, a);
    ticks(201);
    EXPECT_EQ(entry(a).addError, -1);
    EXPECT_FALSE(entry(a).added);
}

TEST_F(PassesTest, LinkMadeInsideAddItemsWaitsForTheNextPass) {
    HSZ a = dde.handle(L"A");
    HSZ late = dde.handle(L"Late");
    bool linked = false;
    opc->duringAddItems = [&] {
        if (!linked) {
            linked = true;
            link(9, late);  // a DDE transaction dispatched while the call is out
        }
    };
    link(1, a);
    ticks(201);
    EXPECT_TRUE(entry(a).added);
    EXPECT_FALSE(entry(late).added);
    EXPECT_EQ(entry(late).addError, 0);
    ticks(200);
    ASSERT_EQ(opc->addBatches.size(), 2u);
    EXPECT_EQ(opc->addBatches[1], std::vector<std::wstring>{L"Late"});
}

TEST_F(PassesTest, ItemIdentityOutlivesAnUnlinkWhileAddItemsIsOut) {
    HSZ a = dde.handle(L"A");
    HSZ fresh = nullptr;
    opc->duringAddItems = [&] {
        if (fresh != nullptr) {
            return;
        }
        // The client lets go of A and links a new name while the call is out;
        // DDEML hands a new name the most recently freed handle value.
        unlink(1, a);
        fresh = dde.handle(L"Fresh");
        link(2, fresh);
    };
    link(1, a);
    ticks(201);
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(keyOf(fresh), keyOf(a));
    EXPECT_TRUE(entry(a).added);
    EXPECT_FALSE(entry(fresh).added);
    const OPCHANDLE aServer = entry(a).serverHandle;
    ticks(201);
    // A leaves the group, Fresh is added under its own handle.
    ASSERT_EQ(opc->removeBatches.size(), 1u);
    EXPECT_EQ(opc->removeBatches[0], std::vector<OPCHANDLE>{aServer});
    ASSERT_EQ(opc->addBatches.size(), 2u);
    EXPECT_EQ(opc->addBatches[1], std::vector<std::wstring>{L"Fresh"});
    EXPECT_EQ(opc->addDefinitions[1][0].hClient, keyOf(fresh));
    EXPECT_EQ(group->itemTable.count(keyOf(a)), 0u);
    group.reset();
    EXPECT_EQ(dde.freesWithoutReference, 0);
    EXPECT_EQ(dde.references[keyOf(fresh)], 0);
}

TEST_F(PassesTest, ShutdownRequestInsideAddItemsReleasesAfterTheCall) {
    HSZ a = dde.handle(L"A");
    std::vector<std::string> calls;
    opc->calls = &calls;
    server.calls.clear();
    opc->duringAddItems = [&] {
        server.requestShutdown(L"maintenance");
        // Nothing is released under the call still out.
        EXPECT_EQ(calls, std::vector<std::string>{"AddItems"});
    };
    link(1, a);
    ticks(201);
    EXPECT_TRUE(entry(a).added);
    EXPECT_EQ(calls, (std::vector<std::string>{"AddItems", "DUnadvise 7"}));
    EXPECT_EQ(server.calls, (std::vector<std::string>{"Unadvise 3", "RemoveGroup 1 0"}));
    EXPECT_FALSE(group->connected);
    EXPECT_EQ(log.infoLines().back(), L"情報：「Line1」シャットダウン。(maintenance)");
}

TEST_F(PassesTest, DataChangeInsideAddItemsFindsConsistentEntries) {
    HSZ a = dde.handleWithValue(L"A", 0xC001);
    HSZ b = dde.handleWithValue(L"B", 0xC002);
    // The server sends values for the new items before AddItems returns.
    opc->duringAddItems = [&] { sendValue(opc->sink, 0xC002, 77); };
    link(1, a);
    link(1, b);
    ticks(201);
    EXPECT_TRUE(entry(a).added);
    EXPECT_TRUE(entry(b).added);
    EXPECT_EQ(V_I4(&entry(b).value), 77);
    EXPECT_EQ(group->itemTable.size(), 2u);
    EXPECT_EQ(reply(b), std::string("77\0", 3));
}

TEST_F(PassesTest, WithoutTheGroupNoServerCallIsMadeAndUnlinkedEntriesStillGo) {
    HSZ a = dde.handle(L"A");
    link(1, a);
    ticks(201);
    server.requestShutdown(L"");
    ticks(1);
    EXPECT_EQ(server.removedGroups, std::vector<OPCHANDLE>{1});
    HSZ b = dde.handle(L"B");
    link(1, b);
    unlink(1, a);
    ticks(201);
    EXPECT_EQ(opc->addBatches.size(), 1u);
    EXPECT_TRUE(opc->removeBatches.empty());
    EXPECT_EQ(group->itemTable.count(keyOf(a)), 0u);
    EXPECT_EQ(dde.references[keyOf(a)], 0);
    EXPECT_FALSE(entry(b).added);
}

TEST_F(PassesTest, ReconnectAddsTheItemsThatStillHaveLinksInOneBatchAndPostsNothingOld) {
    opc->itemErrors[L"No.Such"] = OPC_E_UNKNOWNITEMID;
    HSZ a = dde.handleWithValue(L"A", 0xFFF0);
    HSZ gone = dde.handle(L"Gone");
    HSZ bad = dde.handle(L"No.Such");
    link(1, a);
    link(1, gone);
    link(1, bad);
    ticks(201);
    // The lost connection's data sink, as a server on its way out keeps it.
    IAdviseSink* earlierSink = opc->sink;
    earlierSink->AddRef();
    gNow = 1000;
    replaceTickSource([] { return gNow; });
    group->reconnectSeconds = 5;
    server.statusResult = RPC_E_DISCONNECTED;
    group->refreshStatus();
    ticks(1);
    EXPECT_FALSE(group->connected);
    unlink(1, gone);
    HSZ late = dde.handle(L"Late");
    link(2, late);  // linked while disconnected
    opc->itemErrors.clear();
    server.statusResult = S_OK;
    dde.posts.clear();
    gNow += 5000;
    ticks(3);  // the attempt; its answer and the pass; the pass's answer
    ASSERT_EQ(opc->addBatches.size(), 2u);
    // In handle order (the fake hands out values downwards).
    EXPECT_EQ(opc->addBatches[1], (std::vector<std::wstring>{L"Late", L"No.Such", L"A"}));
    EXPECT_TRUE(entry(bad).added);  // tried afresh on the new server
    EXPECT_EQ(group->itemTable.count(keyOf(gone)), 0u);
    EXPECT_TRUE(opc->removeBatches.empty());
    // The links keep what they had until the new server's values come, and
    // a late value from the earlier connection is not one of them.
    ASSERT_NE(opc->sink, earlierSink);
    sendValue(earlierSink, 0xFFF0, 5);
    ticks(2);
    EXPECT_TRUE(dde.posts.empty());
    EXPECT_EQ(V_VT(&entry(a).value), VT_EMPTY);
    sendValue(opc->sink, 0xFFF0, 6);
    ticks(1);
    EXPECT_EQ(V_I4(&entry(a).value), 6);
    earlierSink->Release();
    replaceTickSource(nullptr);
}

TEST_F(PassesTest, DestructionRemovesAddedItemsBeforeTheGroup) {
    HSZ a = dde.handle(L"A");
    HSZ b = dde.handle(L"B");
    link(1, a);
    link(1, b);
    ticks(201);
    unlink(1, b);  // unlinked shortly before: its link reference is gone already
    std::vector<std::string> calls;
    opc->calls = &calls;
    server.calls.clear();
    opc->AddRef();
    test::FakeOpcGroup* keep = opc;
    group.reset();
    ASSERT_EQ(keep->removeBatches.size(), 1u);
    EXPECT_EQ(keep->removeBatches[0].size(), 2u);
    EXPECT_EQ(calls, (std::vector<std::string>{"RemoveItems", "DUnadvise 7"}));
    EXPECT_EQ(server.calls, (std::vector<std::string>{"Unadvise 3", "RemoveGroup 1 0"}));
    EXPECT_EQ(dde.references[keyOf(a)], 0);
    EXPECT_EQ(dde.references[keyOf(b)], 0);
    EXPECT_EQ(keep->sink, nullptr);
    keep->Release();
}

}  // namespace
}  // namespace korven
