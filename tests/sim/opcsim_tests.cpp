// The simulation server as an OPC client meets it: a real opcsim process
// created through COM, every call and callback marshalled by the proxy/stub
// DLL. The data callbacks of 2.0 beside the 1.0 stream, slow and hung calls,
// the second class and the start delay; the scenario keys that set them.
#include <gtest/gtest.h>

#include <comcat.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "CallbackRecorder.h"
#include "ComRef.h"
#include "MessagePump.h"
#include "OpcDa.h"
#include "Scenario.h"
#include "SimFolder.h"
#include "StreamRecorder.h"
#include "WorkerCall.h"

namespace simtest {
namespace {

using opcbrowse::ComRef;

constexpr OPCHANDLE kGroupHandle = 7;
constexpr DWORD kNoUpdates = 3600000;  // a rate at which no update comes during a test

HRESULT queried(IUnknown* object, REFIID iid) {
    IUnknown* got = nullptr;
    const HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(&got));
    if (got) {
        got->Release();
    }
    return hr;
}

template <class T>
ComRef<T> query(IUnknown* object, REFIID iid) {
    ComRef<T> got;
    EXPECT_EQ(object->QueryInterface(iid, got.outVoid()), S_OK);
    return got;
}

ComRef<IOPCServer> create(const wchar_t* progId = L"Korven.OpcSim.1") {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    ComRef<IOPCServer> server;
    EXPECT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.outVoid()),
        S_OK);
    return server;
}

ComRef<IOPCItemMgt> addGroup(IOPCServer* server, OPCHANDLE hClient, DWORD rate,
                             OPCHANDLE* hServer = nullptr) {
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComRef<IOPCItemMgt> group;
    EXPECT_EQ(server->AddGroup(L"", TRUE, rate, hClient, nullptr, nullptr, 0, &handle, &revised,
                               IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(group.out())),
              S_OK);
    if (hServer) {
        *hServer = handle;
    }
    return group;
}

HRESULT addItems(IOPCItemMgt* group,
                 const std::vector<std::pair<const wchar_t*, OPCHANDLE>>& items) {
    std::vector<OPCITEMDEF> defs(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = const_cast<LPWSTR>(items[i].first);
        defs[i].bActive = TRUE;
        defs[i].hClient = items[i].second;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr =
        group->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return hr;
}

ComRef<IConnectionPoint> callbackPoint(IUnknown* group) {
    auto container = query<IConnectionPointContainer>(group, IID_IConnectionPointContainer);
    ComRef<IConnectionPoint> point;
    if (container) {
        EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.out()), S_OK);
    }
    return point;
}

std::wstring vendorOf(IOPCServer* server) {
    OPCSERVERSTATUS* status = nullptr;
    EXPECT_EQ(server->GetStatus(&status), S_OK);
    std::wstring vendor = status && status->szVendorInfo ? status->szVendorInfo : L"";
    if (status) {
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
    }
    return vendor;
}

HRESULT setActive(IUnknown* group, BOOL active) {
    auto state = query<IOPCGroupStateMgt>(group, IID_IOPCGroupStateMgt);
    DWORD revised = 0;
    return state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
}

// The first recorded call that pred accepts, after waiting for one.
const CallbackCall* waitCallback(const CallbackRecorder& recorder,
                                 const std::function<bool(const CallbackCall&)>& pred) {
    const CallbackCall* found = nullptr;
    pumpUntil([&] {
        for (const CallbackCall& call : recorder.calls) {
            if (pred(call)) {
                found = &call;
                return true;
            }
        }
        return false;
    });
    return found;
}

// The other tests use every new key; a scenario that names what the server
// does not know must stop at the start, with a line saying which.
TEST(SimScenario, UnknownModesCallsAndBadValuesAreRefused) {
    const std::pair<const char*, const char*> refused[] = {
        {"[server]\ndataAccess = 3.0\n", "line 2: dataAccess is both, 1.0 or 2.0"},
        {"[server]\nstartDelay = 600001\n",
         "line 2: startDelay is a number of milliseconds (up to 600000)"},
        {"[faults]\nhang = AddItems, Browse\n", "line 2: hang: unknown call Browse"},
        {"[faults]\nslow = Group.AddItems:5\n", "line 2: slow: unknown call Group.AddItems"},
        {"[items]\nA = VT_I4; 1; error -1\n", "line 2: error is a result code"},
    };
    for (const auto& [text, error] : refused) {
        EXPECT_EQ(opcsim::parseScenario(text).error, error) << text;
    }
}

TEST(SimCallbacks, EveryValueCrossesTheProcessesAfterTheAdviseHasReturned) {
    SimFolder sim(
        "[server]\ndataAccess = 2.0\n[items]\n"
        "Text = VT_BSTR; \"温度計①の値\"\nDate = VT_DATE; 45000.75\n"
        "Array = VT_ARRAY|VT_R8; {1.5,-2.25,1024}\nFailing = VT_I4; 5; error 0xC0040007\n");
    CallbackRecorder recorder;
    {
        auto server = create();
        auto group = addGroup(server.get(), kGroupHandle, kNoUpdates);
        ASSERT_EQ(
            addItems(group.get(), {{L"Text", 1}, {L"Date", 2}, {L"Array", 3}, {L"Failing", 4}}),
            S_OK);
        // A 2.0 server's group has no 1.0 path.
        EXPECT_EQ(queried(group.get(), IID_IDataObject), E_NOINTERFACE);
        EXPECT_EQ(queried(group.get(), IID_IOPCAsyncIO), E_NOINTERFACE);
        auto point = callbackPoint(group.get());
        ASSERT_TRUE(point);
        DWORD cookie = 0;
        ASSERT_EQ(point->Advise(&recorder, &cookie), S_OK);
        recorder.adviseReturned = true;
        ASSERT_TRUE(pumpUntil([&] { return !recorder.calls.empty(); }));

        const CallbackCall& first = recorder.calls[0];
        EXPECT_TRUE(first.afterAdvise);
        EXPECT_EQ(first.transaction, 0u);
        EXPECT_EQ(first.hGroup, kGroupHandle);
        EXPECT_EQ(first.masterQuality, S_FALSE);  // the failing item is of bad quality
        EXPECT_EQ(first.masterError, S_FALSE);
        ASSERT_EQ(first.values.size(), 4u);
        const VARIANT& text = *first.find(1)->value.get();
        ASSERT_EQ(text.vt, VT_BSTR);
        EXPECT_EQ(std::wstring(text.bstrVal, SysStringLen(text.bstrVal)), L"温度計①の値");
        const VARIANT& date = *first.find(2)->value.get();
        ASSERT_EQ(date.vt, VT_DATE);
        EXPECT_EQ(date.date, 45000.75);
        const VARIANT& array = *first.find(3)->value.get();
        ASSERT_EQ(array.vt, VT_ARRAY | VT_R8);
        ASSERT_EQ(SafeArrayGetDim(array.parray), 1u);
        LONG lower = -1, upper = -1;
        SafeArrayGetLBound(array.parray, 1, &lower);
        SafeArrayGetUBound(array.parray, 1, &upper);
        ASSERT_EQ(std::make_pair(lower, upper), std::make_pair(0L, 2L));
        const double* elements = static_cast<const double*>(array.parray->pvData);
        EXPECT_EQ(std::vector<double>(elements, elements + 3),
                  (std::vector<double>{1.5, -2.25, 1024}));
        const CallbackValue& failing = *first.find(4);
        EXPECT_EQ(failing.value->vt, VT_EMPTY);
        EXPECT_EQ(failing.quality, 0);
        EXPECT_EQ(failing.error, static_cast<HRESULT>(0xC0040007));
        EXPECT_EQ(first.find(1)->quality, 0xC0);
        EXPECT_EQ(first.find(1)->error, S_OK);
        EXPECT_EQ(body(sim.waitCall("Send.IOPCDataCallback.OnDataChange")),
                  "Send.IOPCDataCallback.OnDataChange transaction=0 hGroup=7 "
                  "masterQuality=0x00000001 masterError=0x00000001 "
                  "items=[1:VT_BSTR:\"温度計①の値\":0x00C0:0x00000000,2:VT_DATE:45000.75:0x00C0:"
                  "0x00000000,3:VT_ARRAY|VT_R8:{1.5,-2.25,1024}:0x00C0:0x00000000,4:VT_EMPTY::"
                  "0x0000:0xC0040007] -> 0x00000000");

        // One connection a group.
        CallbackRecorder another;
        DWORD second = 0;
        EXPECT_EQ(point->Advise(&another, &second), CONNECT_E_ADVISELIMIT);
        EXPECT_EQ(another.refs, 0);
        EXPECT_EQ(point->Unadvise(cookie), S_OK);
        // The server let go of the callback object.
        EXPECT_TRUE(pumpUntil([&] { return recorder.refs == 0; }));
        EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
        EXPECT_EQ(body(sim.calls("IConnectionPoint.Advise").at(0)),
                  "IConnectionPoint.Advise point=IOPCDataCallback -> 0x00000000 cookie=1");
        EXPECT_EQ(body(sim.calls("IConnectionPoint.Unadvise").at(0)),
                  "IConnectionPoint.Unadvise point=IOPCDataCallback cookie=1 -> 0x00000000");
    }
}

TEST(SimCallbacks, UpdatesReachEverySubscriberAndRefresh2AnswersWithItsTransaction) {
    SimFolder sim("[items]\nCounter = VT_I4; 0; counter 1\nFixed = VT_I4; 42\n");
    auto server = create();
    auto group = addGroup(server.get(), kGroupHandle, 100);
    ASSERT_EQ(addItems(group.get(), {{L"Counter", 1}, {L"Fixed", 2}}), S_OK);
    auto async2 = query<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2);
    auto data = query<IDataObject>(group.get(), IID_IDataObject);
    ASSERT_TRUE(async2 && data);
    EXPECT_EQ(queried(group.get(), IID_IOPCAsyncIO), S_OK);  // both paths by default

    StreamRecorder stream;
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATA")),
                     nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    ASSERT_EQ(data->DAdvise(&format, 0, &stream, &connection), S_OK);
    CallbackRecorder recorder;
    auto point = callbackPoint(group.get());
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&recorder, &cookie), S_OK);

    // After the first call, only what changed; the stream gets the same.
    auto counterOnly = [](const CallbackCall& c) {
        return c.transaction == 0 && c.values.size() == 1 && c.values[0].hClient == 1;
    };
    ASSERT_TRUE(waitCallback(recorder, counterOnly));
    EXPECT_EQ(recorder.calls[0].values.size(), 2u);
    EXPECT_EQ(recorder.calls[0].masterQuality, S_OK);
    EXPECT_EQ(recorder.calls[0].masterError, S_OK);
    ASSERT_TRUE(pumpUntil([&] {
        for (const auto& block : stream.blocks) {
            auto entries = streamEntries(block);
            if (entries && entries->size() == 1 && (*entries)[0].hClient == 1) {
                return true;
            }
        }
        return false;
    }));

    // An item's error is a change: it goes without a value, of bad quality.
    EXPECT_EQ(body(sim.command("error Fixed 0xC0040007")),
              "Control.error item=\"Fixed\" value=\"0xC0040007\" -> 0x00000000");
    const CallbackCall* failed = waitCallback(recorder, [](const CallbackCall& c) {
        return c.find(2) && c.find(2)->error == static_cast<HRESULT>(0xC0040007);
    });
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->find(2)->value->vt, VT_EMPTY);
    EXPECT_EQ(failed->find(2)->quality, 0);
    EXPECT_EQ(failed->masterError, S_FALSE);
    EXPECT_EQ(failed->masterQuality, S_FALSE);
    ASSERT_TRUE(pumpUntil([&] {
        for (const auto& block : stream.blocks) {
            auto entries = streamEntries(block);
            for (const StreamEntry& e : entries.value_or(std::vector<StreamEntry>{})) {
                if (e.hClient == 2 && e.vt == VT_EMPTY && e.quality == 0) {
                    return true;
                }
            }
        }
        return false;
    }));
    sim.command("error Fixed 0");
    const CallbackCall* mended = waitCallback(recorder, [&](const CallbackCall& c) {
        return &c > failed && c.find(2) && c.find(2)->error == S_OK;
    });
    ASSERT_TRUE(mended);
    EXPECT_EQ(mended->find(2)->value->vt, VT_I4);
    EXPECT_EQ(mended->find(2)->value->lVal, 42);

    DWORD cancelId = 0;
    ASSERT_EQ(async2->Refresh2(OPC_DS_CACHE, 77, &cancelId), S_OK);
    const CallbackCall* answer =
        waitCallback(recorder, [](const CallbackCall& c) { return c.transaction == 77; });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->values.size(), 2u);
    EXPECT_EQ(body(sim.calls("IOPCAsyncIO2.Refresh2").at(0)),
              "IOPCAsyncIO2.Refresh2 source=1 transaction=77 -> 0x00000000 cancelId=" +
                  std::to_string(cancelId));

    ASSERT_EQ(setActive(group.get(), FALSE), S_OK);
    EXPECT_EQ(async2->Refresh2(OPC_DS_CACHE, 78, &cancelId), E_FAIL);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(async2->Refresh2(OPC_DS_CACHE, 79, &cancelId), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(data->DUnadvise(connection), S_OK);
}

TEST(SimCallbacks, AOneDotZeroServerOffersNoCallbackPath) {
    SimFolder sim("[server]\ndataAccess = 1.0\n");
    auto server = create();
    auto group = addGroup(server.get(), kGroupHandle, kNoUpdates);
    EXPECT_EQ(queried(group.get(), IID_IConnectionPointContainer), E_NOINTERFACE);
    EXPECT_EQ(queried(group.get(), IID_IOPCAsyncIO2), E_NOINTERFACE);
    EXPECT_EQ(queried(group.get(), IID_IDataObject), S_OK);
    EXPECT_EQ(queried(group.get(), IID_IOPCAsyncIO), S_OK);
    // The server object keeps its shutdown point.
    EXPECT_EQ(queried(server.get(), IID_IConnectionPointContainer), S_OK);
}

TEST(SimFaults, AHungCallLeavesCommandsOtherCallsAndOtherGroupsWorking) {
    SimFolder sim("[server]\ndataAccess = 2.0\n[items]\nA = VT_I4; 1\nB = VT_I4; 20\n");
    auto server = create();
    auto hung = addGroup(server.get(), 1, 100);
    auto serving = addGroup(server.get(), 2, 100);
    ASSERT_EQ(addItems(serving.get(), {{L"B", 9}}), S_OK);
    CallbackRecorder recorder;
    auto point = callbackPoint(serving.get());
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&recorder, &cookie), S_OK);

    EXPECT_EQ(body(sim.command("hang AddItems")), "Control.hang call=\"AddItems\" -> 0x00000000");
    WorkerCall adding(hung.get(), IID_IOPCItemMgt, [](IUnknown* group) {
        return addItems(static_cast<IOPCItemMgt*>(group), {{L"A", 3}});
    });
    EXPECT_EQ(body(sim.waitCall("Hang.Begin")),
              "Hang.Begin call=\"IOPCItemMgt.AddItems\" by=\"AddItems\" -> 0x00000000");
    sim.command("set B 21");
    EXPECT_TRUE(waitCallback(recorder, [](const CallbackCall& c) {
        return c.find(9) && c.find(9)->value->vt == VT_I4 && c.find(9)->value->lVal == 21;
    }));
    EXPECT_EQ(vendorOf(server.get()), L"Korven OPC simulation server");
    EXPECT_FALSE(adding.finished());

    sim.command("unhang AddItems");
    ASSERT_TRUE(pumpUntil([&] { return adding.finished(); }));
    EXPECT_EQ(adding.result(), S_OK);
    EXPECT_EQ(body(sim.command("unhang AddItems")),
              "Control.unhang call=\"AddItems\" -> 0x00000001");  // no longer hung
    const std::vector<std::string> journal = sim.journal();
    const int begin = findLine(journal, " Hang.Begin ");
    int at = begin;
    for (const char* next : {" Control.set ", "items=[9:VT_I4:21:", " Control.unhang ",
                             " Hang.End call=\"IOPCItemMgt.AddItems\" by=\"unhang\" -> 0x00000000",
                             " IOPCItemMgt.AddItems "}) {
        ASSERT_GE(at, 0);
        const int found = findLine(journal, next, at + 1);
        EXPECT_GT(found, at) << next << " does not follow in the journal";
        at = found;
    }
    // The other call was answered while the first one hung (its line may come
    // before the callback's, which is written once the client has answered).
    const int status = findLine(journal, " IOPCServer.GetStatus ", begin);
    EXPECT_GT(status, begin);
    EXPECT_LT(status, findLine(journal, " Hang.End ", begin));
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

TEST(SimFaults, AFinalReleaseWaitsWhileHungAndExitEndsAHungCall) {
    SimFolder sim("[faults]\nhang = Group.Release\n");
    auto server = create();
    OPCHANDLE handle = 0;
    auto group = addGroup(server.get(), 1, kNoUpdates, &handle);
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), OPC_S_INUSE);
    {
        // The worker's proxy holds the last reference; its release waits.
        std::atomic<bool> go{false};
        WorkerCall releasing(group.get(), IID_IOPCItemMgt, [&](IUnknown*) {
            while (!go) {
                Sleep(5);
            }
            return S_OK;
        });
        group.reset();
        go = true;
        EXPECT_EQ(body(sim.waitCall("Hang.Begin")),
                  "Hang.Begin call=\"Group.Release\" by=\"Group.Release\" -> 0x00000000");
        EXPECT_EQ(body(sim.command("slow GetStatus 300")),
                  "Control.slow call=\"GetStatus\" ms=300 -> 0x00000000");
        EXPECT_FALSE(releasing.finished());
        sim.command("unhang Group.Release");
        EXPECT_TRUE(pumpUntil([&] { return releasing.finished(); }));
    }
    const ULONGLONG before = GetTickCount64();
    vendorOf(server.get());
    EXPECT_GE(GetTickCount64() - before, 300u);
    sim.command("slow GetStatus 0");
    EXPECT_EQ(body(sim.command("slow GetStatus")), "Control.slow call=\"GetStatus\" -> 0x80070057");

    sim.command("hang GetStatus");
    {
        // Answered, or failed when the process ended before the answer left.
        WorkerCall status(server.get(), IID_IOPCServer, [](IUnknown* s) {
            OPCSERVERSTATUS* answer = nullptr;
            const HRESULT hr = static_cast<IOPCServer*>(s)->GetStatus(&answer);
            if (answer) {
                CoTaskMemFree(answer->szVendorInfo);
                CoTaskMemFree(answer);
            }
            return hr;
        });
        sim.waitCall("Hang.Begin", 2);
        sim.command("exit");
        EXPECT_TRUE(sim.waitGone());
        EXPECT_TRUE(pumpUntil([&] { return status.finished(); }));
    }
    EXPECT_EQ(body(sim.calls("Hang.End").at(1)),
              "Hang.End call=\"IOPCServer.GetStatus\" by=\"exit\" -> 0x00000000");
}

TEST(SimClasses, TheSecondClassIsAServerOfItsOwnWithItsOwnFolder) {
    SimFolder first("[server]\nvendor = \"first\"\n");
    SimFolder second("[server]\nvendor = \"second\"\n", kSecondClassKey);
    auto a = create(L"Korven.OpcSim.1");
    auto b = create(L"Korven.OpcSim2.1");
    EXPECT_EQ(vendorOf(a.get()), L"first");
    EXPECT_EQ(vendorOf(b.get()), L"second");
    EXPECT_NE(first.serverPid(), second.serverPid());
    EXPECT_EQ(body(first.calls("Server.Registered").at(0)),
              "Server.Registered progId=\"Korven.OpcSim.1\" delay=0 -> 0x00000000");
    EXPECT_EQ(body(second.calls("Server.Registered").at(0)),
              "Server.Registered progId=\"Korven.OpcSim2.1\" delay=0 -> 0x00000000");

    // Server browsers find both classes under both versions.
    ComRef<ICatInformation> categories;
    ASSERT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ICatInformation, categories.outVoid()),
              S_OK);
    for (const GUID& catid : {CATID_OPCDAServer10, CATID_OPCDAServer20}) {
        ComRef<IEnumGUID> classes;
        ASSERT_EQ(categories->EnumClassesOfCategories(1, const_cast<GUID*>(&catid), 0, nullptr,
                                                      classes.out()),
                  S_OK);
        std::vector<std::wstring> progIds;
        CLSID clsid;
        ULONG got = 0;
        while (classes->Next(1, &clsid, &got) == S_OK && got == 1) {
            LPOLESTR progId = nullptr;
            if (SUCCEEDED(ProgIDFromCLSID(clsid, &progId))) {
                progIds.push_back(progId);
                CoTaskMemFree(progId);
            }
        }
        for (const wchar_t* expected : {L"Korven.OpcSim.1", L"Korven.OpcSim2.1"}) {
            EXPECT_NE(std::find(progIds.begin(), progIds.end(), expected), progIds.end())
                << "not in the category";
        }
    }
}

TEST(SimClasses, AnActivationWaitsForTheStartDelay) {
    SimFolder sim("[server]\nstartDelay = 1500\n");
    const ULONGLONG before = GetTickCount64();
    auto server = create();
    EXPECT_GE(GetTickCount64() - before, 1500u);
    const std::string start = sim.calls("Server.Start").at(0);
    const std::string registered = sim.calls("Server.Registered").at(0);
    EXPECT_GE(lineMs(registered) - lineMs(start), 1500u);
    EXPECT_EQ(body(registered),
              "Server.Registered progId=\"Korven.OpcSim.1\" delay=1500 -> 0x00000000");
}

}  // namespace
}  // namespace simtest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    const int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}
