// The topic group towards its OPC server: connection and group creation, the
// failures that stop construction, status snapshots, update speed, refresh
// and the shutdown request.
#include <gtest/gtest.h>

#include <comdef.h>

#include <algorithm>
#include <memory>
#include <string>

#include "FakeDdeInstance.h"
#include "FakeOpcServer.h"
#include "LogCapture.h"
#include "common/TickClock.h"
#include "opc/ShutdownSink.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

using test::FakeOpcServer;

class OpcTest : public ::testing::Test {
  protected:
    std::unique_ptr<TopicGroup> make(const wchar_t* node = L"", const wchar_t* topic = L"Line1") {
        return test::makeTopicGroup(topic, node);
    }
    HRESULT failure(const wchar_t* node = L"") {
        try {
            make(node);
        } catch (const _com_error& error) {
            return error.Error();
        }
        return S_OK;
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
}

TEST_F(OpcTest, FailuresRaiseTheCallsCodeAndLeaveNothingBehind) {
    server.activationResult = REGDB_E_CLASSNOTREG;
    EXPECT_EQ(failure(L"plc-station-2"), REGDB_E_CLASSNOTREG);
    server.activationResult = S_OK;

    server.addGroupResult = E_OUTOFMEMORY;
    EXPECT_EQ(failure(), E_OUTOFMEMORY);
    EXPECT_EQ(server.refs, 1);  // the server connection was given back
    server.addGroupResult = S_OK;

    try {
        TopicGroup(SharedText::fromWide(L"No.Such.ProgId"), SharedText::fromWide(L""),
                   SharedText::fromWide(L"Line1"));
        FAIL();
    } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), CO_E_CLASSSTRING);
    }
    // No creation line for any of them, and no topic handle kept.
    EXPECT_TRUE(log.infoLines().empty());
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
    group->refreshStatus();
    EXPECT_EQ(group->serverStatus.dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(group->serverStatus.dwBandWidth, 0xFFFFFFFFu);
    EXPECT_STREQ(group->serverStatus.szVendorInfo, L"Velmora Systems");
    EXPECT_EQ(group->serverStatus.szVendorInfo, group->vendorInfo.wide());
    EXPECT_EQ(group->timeBias, -540);
    EXPECT_EQ(group->localeId, 0x411u);
    EXPECT_STREQ(group->groupNameText, L"Line1");
    EXPECT_EQ(group->groupNameText, group->groupName.wide());

    server.vendor.clear();
    group->refreshStatus();
    EXPECT_EQ(group->serverStatus.szVendorInfo, nullptr);
    EXPECT_FALSE(group->vendorInfo.present());

    // A failed status read keeps what was read before.
    server.statusResult = E_FAIL;
    server.status.dwServerState = OPC_STATUS_FAILED;
    group->refreshStatus();
    EXPECT_EQ(group->serverStatus.dwServerState, OPC_STATUS_RUNNING);
}

TEST_F(OpcTest, ShutdownDuringTheStatusCallIsSurvived) {
    auto group = make();
    server.duringGetStatus = [&] { group->shutdownSink->ShutdownRequest(L"maintenance"); };
    group->refreshStatus();
    EXPECT_EQ(log.infoLines().back(), L"情報：「Line1」シャットダウン。(maintenance)");
    EXPECT_STREQ(group->shutdownSink->reason().wide(), L"maintenance");
    // The interfaces of the call still out are not released under it.
    EXPECT_NE(group->groupStateMgt, nullptr);
    EXPECT_EQ(server.calls.back(), "GetStatus");
    // From now on: nothing running, no handles; the rest stays.
    server.calls.clear();
    group->refreshStatus();
    EXPECT_TRUE(server.calls.empty());
    EXPECT_EQ(group->serverStatus.dwServerState, 0);
    EXPECT_EQ(group->active, 0);
    EXPECT_EQ(group->clientGroupHandle, 0u);
    EXPECT_EQ(group->serverGroupHandle, 0u);
    EXPECT_STREQ(group->serverStatus.szVendorInfo, L"Fake vendor");
    // The next tick releases the group, then the server connection.
    group->tick();
    EXPECT_EQ(server.calls, (std::vector<std::string>{"DUnadvise 7", "RemoveGroup 0 0"}));
    EXPECT_EQ(group->itemMgt, nullptr);
    EXPECT_EQ(group->server, nullptr);
    group->tick();
    EXPECT_EQ(server.calls.size(), 2u);
}

TEST_F(OpcTest, LostServerIsReleasedWithoutCallsThatWouldWaitOnIt) {
    auto group = make();
    group->refreshStatus();
    // An ordinary failure changes nothing.
    server.statusResult = E_FAIL;
    group->refreshStatus();
    EXPECT_TRUE(log.errorLines().empty());
    EXPECT_TRUE(group->groupUsable());

    server.statusResult = RPC_E_SERVER_DIED;
    server.calls.clear();
    group->refreshStatus();
    group->refreshStatus();
    EXPECT_EQ(log.errorLines(), std::vector<std::wstring>{
                                    L"異常：「Line1」サーバーとの接続が切れました。(-2147418105)"});
    EXPECT_EQ(server.calls, std::vector<std::string>{"GetStatus"});
    EXPECT_EQ(group->serverStatus.dwServerState, 0);
    EXPECT_EQ(group->serverGroupHandle, 0u);
    group->tick();
    // Only releases: no DUnadvise, Unadvise or RemoveGroup towards the dead server.
    EXPECT_EQ(server.calls, std::vector<std::string>{"GetStatus"});
    EXPECT_EQ(group->itemMgt, nullptr);
    EXPECT_EQ(group->server, nullptr);
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
    group->shutdownSink->ShutdownRequest(L"maintenance");
    group->tick();  // released; the first attempt is planned 5 s later
    EXPECT_EQ(group->server, nullptr);
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
    EXPECT_EQ(log.infoLines().back(), L"情報：「Line1」再接続。");
    EXPECT_TRUE(group->groupUsable());
    EXPECT_EQ(server.requestedRate, 5000u);
    EXPECT_EQ(server.groupClientHandle, keyOf(group->topicHandle));
    replaceTickSource(nullptr);
}

TEST_F(OpcTest, ShutdownSinkInterfaces) {
    auto group = make();
    ShutdownSink* sink = group->shutdownSink;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(sink->QueryInterface(IID_IDataObject, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(sink->QueryInterface(IID_IOPCShutdown, nullptr), E_INVALIDARG);
    EXPECT_EQ(sink->QueryInterface(IID_IOPCShutdown, &out), S_OK);
    static_cast<IUnknown*>(out)->Release();
    // A null reason is written as an empty text.
    EXPECT_EQ(sink->ShutdownRequest(nullptr), S_OK);
    EXPECT_EQ(log.infoLines().back(), L"情報：「Line1」シャットダウン。()");
    // A sink the server keeps after the group is gone reaches nothing.
    sink->AddRef();
    group.reset();
    log.clear();
    EXPECT_EQ(sink->ShutdownRequest(L"late"), S_OK);
    EXPECT_TRUE(log.lines().empty());
    sink->Release();
}

}  // namespace
}  // namespace korven
