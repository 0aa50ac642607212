// The topic towards its OPC server, through its session: connection and
// group creation, the failures that stop it, status snapshots, the shutdown
// request and a lost server, the reconnection, and the topic's rule that a
// call out holds back the next status read and pass.
#include <gtest/gtest.h>

#include <comdef.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "FakeDdeInstance.h"
#include "FakeOpcServer.h"
#include "LogCapture.h"
#include "common/TickClock.h"
#include "opc/ServerSession.h"
#include "opc/ShutdownSink.h"
#include "opc/TopicChannel.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

using test::FakeOpcServer;

class OpcTest : public ::testing::Test {
  protected:
    std::unique_ptr<TopicGroup> make(const wchar_t* node = L"",
                                     const wchar_t* progId = test::kFakeProgId) {
        return test::makeTopicGroup(L"Line1", node, progId);
    }
    HRESULT failure(const wchar_t* node = L"", const wchar_t* progId = test::kFakeProgId) {
        try {
            make(node, progId);
        } catch (const _com_error& error) {
            return error.Error();
        }
        return S_OK;
    }
    // A status read and its answer.
    void status(TopicGroup& group) {
        group.refreshStatus();
        group.takeReplies();
    }

    test::FakeDdeInstance dde;
    FakeOpcServer server;
    test::FakeServerActivation activation;
    test::LogCapture log;
};

TEST_F(OpcTest, RemoteNodeIsNamedInTheServerInformation) {
    auto group = make(L"plc-station-2");
    EXPECT_EQ(server.activationContext, static_cast<DWORD>(CLSCTX_REMOTE_SERVER));
    EXPECT_TRUE(server.activationHadServerInfo);
    EXPECT_EQ(server.activationNode, L"plc-station-2");
    EXPECT_EQ(server.calls,
              (std::vector<std::string>{"CoCreateInstanceEx", "Advise", "AddGroup", "DAdvise"}));
}

TEST_F(OpcTest, FailuresGiveTheCallsCodeAndLeaveNothingBehind) {
    server.activationResult = REGDB_E_CLASSNOTREG;
    EXPECT_EQ(failure(L"plc-station-2"), REGDB_E_CLASSNOTREG);
    server.activationResult = S_OK;

    server.addGroupResult = E_OUTOFMEMORY;
    EXPECT_EQ(failure(), E_OUTOFMEMORY);
    EXPECT_EQ(server.refs, 1);  // the server connection was given back
    EXPECT_EQ(server.shutdownPoint.sink, nullptr);
    server.addGroupResult = S_OK;

    EXPECT_EQ(failure(L"", L"No.Such.ProgId"), CO_E_CLASSSTRING);
    // Nothing said for any of them, and no topic handle kept.
    EXPECT_TRUE(log.lines().empty());
    for (const auto& [handle, count] : dde.references) {
        EXPECT_LE(count, 0) << handle;
    }
}

TEST_F(OpcTest, ServerWithoutAsyncIoIsRefusedWithNoInterface) {
    test::FakeOpcGroup* prepared = new test::FakeOpcGroup;
    prepared->hasAsyncIo = false;
    prepared->calls = &server.calls;
    server.group = prepared;
    EXPECT_EQ(failure(), E_NOINTERFACE);
    EXPECT_EQ(prepared->refs, 1);  // only the fake's own reference is left
    EXPECT_EQ(server.removedGroups, std::vector<OPCHANDLE>{1});
    EXPECT_EQ(server.refs, 1);
}

TEST_F(OpcTest, StatusSnapshotCopiesTheRecordAndTheGroupState) {
    auto group = make();
    server.status.dwServerState = OPC_STATUS_RUNNING;
    server.status.wMajorVersion = 2;
    server.status.wBuildNumber = 15;
    server.status.dwBandWidth = 0xFFFFFFFF;
    server.vendor = L"Velmora Systems";
    status(*group);
    EXPECT_EQ(group->serverStatus.dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(group->serverStatus.dwBandWidth, 0xFFFFFFFFu);
    EXPECT_STREQ(group->serverStatus.szVendorInfo, L"Velmora Systems");
    EXPECT_EQ(group->serverStatus.szVendorInfo, group->vendorInfo.wide());
    EXPECT_EQ(group->timeBias, -540);
    EXPECT_EQ(group->localeId, 0x411u);
    EXPECT_STREQ(group->groupNameText, L"Line1");
    EXPECT_EQ(group->groupNameText, group->groupName.wide());

    server.vendor.clear();
    status(*group);
    EXPECT_EQ(group->serverStatus.szVendorInfo, nullptr);
    EXPECT_FALSE(group->vendorInfo.present());

    // A failed status read keeps what was read before.
    server.statusResult = E_FAIL;
    server.status.dwServerState = OPC_STATUS_FAILED;
    status(*group);
    EXPECT_EQ(group->serverStatus.dwServerState, OPC_STATUS_RUNNING);
    EXPECT_TRUE(group->connected);
}

TEST_F(OpcTest, ShutdownDuringTheStatusCallReleasesOnlyAfterIt) {
    auto group = make();
    server.calls.clear();
    server.duringGetStatus = [&] { server.requestShutdown(L"maintenance"); };
    status(*group);
    EXPECT_EQ(log.infoLines().back(), L"情報：「Line1」シャットダウン。(maintenance)");
    // The release follows the call that was out, not inside it; GetState is
    // no longer asked for.
    EXPECT_EQ(server.calls, (std::vector<std::string>{"GetStatus", "DUnadvise 7", "Unadvise 3",
                                                      "RemoveGroup 1 0"}));
    EXPECT_EQ(server.refs, 1);
    // From now on: nothing running, no handles, no call; the rest stays.
    server.calls.clear();
    status(*group);
    group->tick();
    EXPECT_TRUE(server.calls.empty());
    EXPECT_EQ(group->serverStatus.dwServerState, 0);
    EXPECT_EQ(group->active, 0);
    EXPECT_EQ(group->clientGroupHandle, 0u);
    EXPECT_EQ(group->serverGroupHandle, 0u);
    EXPECT_STREQ(group->serverStatus.szVendorInfo, L"Fake vendor");
}

TEST_F(OpcTest, LostServerIsReleasedWithoutCallsThatWouldWaitOnIt) {
    auto group = make();
    status(*group);
    // An ordinary failure changes nothing.
    server.statusResult = E_FAIL;
    status(*group);
    EXPECT_TRUE(log.errorLines().empty());
    EXPECT_TRUE(group->connected);

    server.statusResult = RPC_E_SERVER_DIED;
    server.calls.clear();
    status(*group);
    status(*group);
    group->tick();
    EXPECT_EQ(log.errorLines(), std::vector<std::wstring>{
                                    L"異常：「Line1」サーバーとの接続が切れました。(-2147418105)"});
    // Only releases: no DUnadvise, Unadvise or RemoveGroup towards the dead server.
    EXPECT_EQ(server.calls, std::vector<std::string>{"GetStatus"});
    EXPECT_EQ(group->serverStatus.dwServerState, 0);
    EXPECT_EQ(group->serverGroupHandle, 0u);
    EXPECT_FALSE(group->connected);
    EXPECT_EQ(server.refs, 1);
}

ULONGLONG gNow = 0;
ULONGLONG fakeNow() {
    return gNow;
}

TEST_F(OpcTest, ReconnectTriesAtItsIntervalAndSaysSoSparingly) {
    gNow = 1000;
    replaceTickSource(&fakeNow);
    auto group = make();
    group->reconnectSeconds = 5;
    group->setUpdateSpeed(2);  // Low: the new group must get 5000 ms
    server.requestShutdown(L"maintenance");
    group->tick();  // released; the first attempt is planned 5 s later
    EXPECT_FALSE(group->connected);
    server.calls.clear();
    server.activationResult = E_FAIL;
    gNow = 5999;
    group->tick();
    EXPECT_TRUE(server.calls.empty());
    // Twelve failed attempts, 5 s apart: the first and the eleventh are said.
    for (int attempt = 0; attempt < 12; ++attempt) {
        gNow = 6000 + 5000 * attempt;
        group->tick();
        group->tick();  // nothing more within the same interval
    }
    EXPECT_EQ(std::count(server.calls.begin(), server.calls.end(), "CoCreateInstanceEx"), 12);
    EXPECT_EQ(log.errorLines(),
              std::vector<std::wstring>(2, L"異常：「Line1」再接続に失敗。(-2147467259)"));

    server.activationResult = S_OK;
    server.calls.clear();
    gNow += 5000;
    group->tick();
    group->tick();
    EXPECT_EQ(log.infoLines().back(), L"情報：「Line1」再接続。");
    EXPECT_TRUE(group->connected);
    EXPECT_EQ(server.requestedRate, 5000u);
    EXPECT_EQ(server.groupClientHandle, keyOf(group->topicHandle));
    replaceTickSource(nullptr);
}

// Sessions on threads of their own, with a clock the test moves.
class ServerThreadTest : public ::testing::Test {
  protected:
    ServerThreadTest() {
        now = 1000;
        replaceTickSource([] { return now.load(); });
    }
    ~ServerThreadTest() override { replaceTickSource(nullptr); }

    static inline std::atomic<ULONGLONG> now{1000};
    test::FakeDdeInstance dde;
    FakeOpcServer server;
    test::FakeServerActivation activation{false};
    test::LogCapture log;
};

// The session on a thread of its own, with a GetStatus that does not return
// until the test lets it: nothing else of the topic's is asked of the server
// meanwhile, the wait is said after 10 s and its end when it comes, and the
// passes that fell due run then.
TEST_F(ServerThreadTest, ACallOutHoldsBackTheTopicsNextCallsAndIsSaid) {
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE answer = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    server.duringGetStatus = [&] {
        SetEvent(entered);
        WaitForSingleObject(answer, 20000);
    };
    auto group = test::makeTopicGroup(L"Line1", L"", test::kFakeProgId, 20000);
    auto waitAnswered = [&] {
        const ULONGLONG deadline = GetTickCount64() + 20000;
        while (group->requestsOut != 0 && GetTickCount64() < deadline) {
            Sleep(5);
            group->takeReplies();
        }
        return group->requestsOut == 0;
    };
    HSZ item = dde.handle(L"A");
    DdeTransaction start;
    start.conversation = reinterpret_cast<HCONV>(1);
    start.item = item;
    group->adviseStart(start);

    group->refreshStatus();
    ASSERT_EQ(WaitForSingleObject(entered, 20000), WAIT_OBJECT_0);
    group->refreshStatus();  // the last read is still out: no second one
    group->settleTicks = kSettleTicksForPasses - 1;
    group->tick();
    EXPECT_TRUE(group->passesDue);
    now += kUnansweredCallMs;
    group->tick();
    EXPECT_EQ(log.errorLines(),
              std::vector<std::wstring>{L"異常：「Line1」のサーバーが応答しません。(GetStatus)"});
    EXPECT_EQ(group->serverStatus.dwServerState, 0);

    SetEvent(answer);
    ASSERT_TRUE(waitAnswered());
    group->tick();
    EXPECT_EQ(log.infoLines().back(), L"情報：「Line1」のサーバーが応答しました。");
    ASSERT_TRUE(waitAnswered());
    group->takeReplies();
    EXPECT_TRUE(group->itemTable.at(keyOf(item)).added);
    EXPECT_EQ(std::count(server.calls.begin(), server.calls.end(), "GetStatus"), 1);
    EXPECT_EQ(server.group->addBatches.size(), 1u);
    group.reset();
    EXPECT_EQ(server.refs, 1);
    CloseHandle(entered);
    CloseHandle(answer);
}

// A request whose handling raises is answered as a failure and ends the
// connection as a lost server would: said with the failure's code, released,
// and tried again at the topic's interval.
TEST_F(OpcTest, ARequestThatRaisesLosesTheServerAndTheTopicReconnects) {
    gNow = 1000;
    replaceTickSource(&fakeNow);
    auto group = make();
    group->reconnectSeconds = 5;
    ServerSession::setRequestHook([](const ServerRequest& request) {
        if (std::holds_alternative<request::ReadStatus>(request)) {
            throw std::bad_alloc();
        }
    });
    status(*group);
    group->tick();
    ServerSession::setRequestHook(nullptr);
    EXPECT_EQ(log.errorLines(), std::vector<std::wstring>{
                                    L"異常：「Line1」サーバーとの接続が切れました。(-2147024882)"});
    EXPECT_FALSE(group->connected);
    EXPECT_EQ(group->requestsOut, 0);
    EXPECT_EQ(server.refs, 1);
    gNow += 5000;
    group->tick();
    group->tick();
    EXPECT_EQ(log.infoLines().back(), L"情報：「Line1」再接続。");
    EXPECT_TRUE(group->connected);
    replaceTickSource(nullptr);
}

// A server thread that ends all the same (its failure reply finds no memory
// either) is seen at the next tick: the server is lost, and the
// reconnection runs on a new thread.
TEST_F(ServerThreadTest, AThreadThatEndsIsSeenAndReplacedAtTheReconnection) {
    auto group = test::makeTopicGroup(L"Line1", L"", test::kFakeProgId, 20000);
    group->reconnectSeconds = 5;
    TopicChannel::setReplyFault([](const ServerReply& reply) {
        return std::holds_alternative<reply::Status>(reply) ||
               std::holds_alternative<reply::Lost>(reply);
    });
    group->refreshStatus();
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (group->connected && GetTickCount64() < deadline) {
        Sleep(5);
        group->tick();
    }
    TopicChannel::setReplyFault(nullptr);
    EXPECT_EQ(log.errorLines(), std::vector<std::wstring>{
                                    L"異常：「Line1」サーバーとの接続が切れました。(-2147024882)"});
    EXPECT_EQ(group->requestsOut, 0);
    now += 5000;
    group->tick();
    while (!group->connected && GetTickCount64() < deadline) {
        Sleep(5);
        group->tick();
    }
    EXPECT_EQ(log.infoLines().back(), L"情報：「Line1」再接続。");
    group.reset();
    EXPECT_EQ(server.refs, 1);
}

// While the main thread takes nothing, a newer value of an item replaces the
// older one still waiting; values of other items and other replies stay, in
// their order.
TEST(TopicChannelTest, WaitingValuesAreKeptOnePerItem) {
    TopicChannel channel;
    auto block = [](std::initializer_list<std::pair<std::uint32_t, std::uint16_t>> items,
                    std::int32_t status = 0) {
        reply::Values values;
        values.block.hrStatus = status;
        for (auto [handle, quality] : items) {
            StreamItem item;
            item.clientHandle = handle;
            item.quality = quality;
            values.block.items.push_back(item);
        }
        return values;
    };
    for (std::uint16_t round = 0; round < 1000; ++round) {
        channel.reply(block({{1, round}, {2, round}}));
    }
    channel.reply(block({{1, 1000}}));
    channel.reply(reply::Status{});
    channel.reply(block({{1, 1001}}));
    channel.reply(block({{1, 1002}, {3, 1002}}));
    for (int failed = 0; failed < 3; ++failed) {
        channel.reply(block({}, E_FAIL));
    }
    std::vector<std::string> taken;
    for (const ServerReply& reply : channel.takeReplies()) {
        const auto* values = std::get_if<reply::Values>(&reply);
        std::string text = values ? "values" : "other";
        if (values && values->block.hrStatus < 0) {
            text += " failed";
        }
        for (const StreamItem& item : values ? values->block.items : std::vector<StreamItem>{}) {
            text += " " + std::to_string(item.clientHandle) + "=" + std::to_string(item.quality);
        }
        taken.push_back(text);
    }
    EXPECT_EQ(taken, (std::vector<std::string>{"values 2=999", "values 1=1000", "other",
                                               "values 1=1002 3=1002", "values failed"}));
}

// In the tests' build a topic's main-thread object used from another thread
// stops the process with a line that names it.
TEST_F(OpcTest, ATopicUsedFromAnotherThreadStopsTheProcess) {
    auto group = make();
    EXPECT_EXIT(
        {
            std::thread other([&] { group->tick(); });
            other.join();
        },
        ::testing::ExitedWithCode(3),
        "KORVEN: a topic's main-thread object \\(TopicGroup\\) used on thread");
}

TEST_F(OpcTest, ShutdownSinkInterfaces) {
    auto group = make();
    IOPCShutdown* sink = server.shutdownPoint.sink;
    ASSERT_NE(sink, nullptr);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(sink->QueryInterface(IID_IDataObject, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(sink->QueryInterface(IID_IOPCShutdown, nullptr), E_INVALIDARG);
    EXPECT_EQ(sink->QueryInterface(IID_IOPCShutdown, &out), S_OK);
    static_cast<IUnknown*>(out)->Release();
    // A null reason is written as an empty text.
    sink->AddRef();
    EXPECT_EQ(sink->ShutdownRequest(nullptr), S_OK);
    group->tick();
    EXPECT_EQ(log.infoLines().back(), L"情報：「Line1」シャットダウン。()");
    // A sink the server keeps after the topic is gone reaches nothing.
    group.reset();
    log.clear();
    EXPECT_EQ(sink->ShutdownRequest(L"late"), S_OK);
    EXPECT_TRUE(log.lines().empty());
    sink->Release();
}

}  // namespace
}  // namespace korven
