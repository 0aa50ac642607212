// An OPC client that talks to the registered simulation server out of
// process, through the proxy/stub: what the bridge's own end-to-end tests do
// not reach (strings no bridge call returns, the faults no bridge test uses).
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "OpcDa.h"
#include "StreamReader.h"

namespace {

std::wstring folder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"korven-opcsim-client";
}

std::string readJournal() {
    std::ifstream in(std::filesystem::path(folder() + L"\\journal.log"), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The ms stamp of the first journal line holding `needle` (-1: none).
long long journalMs(const std::string& journal, const std::string& needle) {
    const size_t at = journal.find(needle);
    if (at == std::string::npos) {
        return -1;
    }
    const size_t line = journal.rfind('\n', at);
    unsigned long seq = 0;
    long long ms = -1;
    std::sscanf(journal.c_str() + (line == std::string::npos ? 0 : line + 1), "%lu %lld", &seq,
                &ms);
    return ms;
}

std::string hexBytes(const uint8_t* p, size_t n) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X ", p[i]);
        out += buf;
    }
    return out;
}

// The whole 16-byte record: type word, three zero words, the value's bytes
// at +8 and zeros after them.
template <class T>
void expectRecord(const ReadItem& r, VARTYPE vt, T value) {
    uint8_t expected[16] = {};
    std::memcpy(expected, &vt, 2);
    std::memcpy(expected + 8, &value, sizeof value);
    EXPECT_EQ(std::memcmp(r.record, expected, 16), 0)
        << "item " << r.hClient << ": " << hexBytes(r.record, 16) << "expected "
        << hexBytes(expected, 16);
}

const ReadItem* findItem(const ReadBlock& block, DWORD hClient) {
    for (const ReadItem& r : block.items) {
        if (r.hClient == hClient) {
            return &r;
        }
    }
    return nullptr;
}

// Pumps messages until `done` holds or the deadline passes.
bool pumpUntil(const std::function<bool()>& done, DWORD ms = 10000) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (!done()) {
        if (GetTickCount64() > deadline) {
            return false;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
}

class Sink : public IAdviseSink, public IOPCShutdown {
  public:
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<std::wstring> reasons;
    UINT format = RegisterClipboardFormatA("OPCSTMFORMATDATA");

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IAdviseSink) {
            *ppv = static_cast<IAdviseSink*>(this);
        } else if (riid == IID_IOPCShutdown) {
            *ppv = static_cast<IOPCShutdown*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(void) OnDataChange(FORMATETC* fe, STGMEDIUM* medium) override {
        if (fe->cfFormat != format || medium->tymed != TYMED_HGLOBAL || !medium->hGlobal) {
            return;
        }
        const SIZE_T size = GlobalSize(medium->hGlobal);
        void* p = GlobalLock(medium->hGlobal);
        if (p) {
            const auto* bytes = static_cast<const uint8_t*>(p);
            // The server's dwSize says how much of the block is the stream.
            DWORD used = 0;
            if (size >= 4) {
                std::memcpy(&used, bytes, 4);
            }
            blocks.emplace_back(bytes, bytes + (used <= size ? used : size));
            GlobalUnlock(medium->hGlobal);
        }
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override {
        reasons.push_back(reason ? reason : L"(null)");
        return S_OK;
    }
};

class OpcSimClient : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        CreateDirectoryW(folder().c_str(), nullptr);
        DeleteFileW((folder() + L"\\journal.log").c_str());
        DeleteFileW((folder() + L"\\scenario.txt").c_str());
        const std::wstring f = folder();
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Korven\\OpcSim", L"Folder", REG_SZ,
                                  f.c_str(), static_cast<DWORD>((f.size() + 1) * 2)),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        release();
        // The server ends once its last object is gone: wait for that line.
        EXPECT_TRUE(pumpUntil([] {
            return readJournal().find("Server.Exit") != std::string::npos;
        })) << readJournal();
        CoUninitialize();
    }
    void scenario(const std::string& text) {
        std::ofstream(std::filesystem::path(folder() + L"\\scenario.txt"), std::ios::binary)
            << text;
    }
    void command(const std::string& text) {
        static int n = 0;
        const std::wstring tmp = folder() + L"\\c.tmp";
        std::ofstream(std::filesystem::path(tmp), std::ios::binary) << text << "\n";
        MoveFileW(tmp.c_str(), (folder() + L"\\" + std::to_wstring(++n) + L".cmd").c_str());
    }
    HRESULT connect() {
        CLSID clsid;
        HRESULT hr = CLSIDFromString(L"Velmora.Ctrl9.1", &clsid);
        if (FAILED(hr)) {
            return hr;
        }
        MULTI_QI qi{&IID_IOPCServer, nullptr, S_OK};
        hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &qi);
        server = static_cast<IOPCServer*>(qi.pItf);
        return SUCCEEDED(hr) ? qi.hr : hr;
    }
    void release() {
        if (dataObject && connection) {
            dataObject->DUnadvise(connection);
        }
        for (IUnknown** p :
             {reinterpret_cast<IUnknown**>(&asyncIo), reinterpret_cast<IUnknown**>(&dataObject),
              reinterpret_cast<IUnknown**>(&state), reinterpret_cast<IUnknown**>(&items)}) {
            if (*p) {
                (*p)->Release();
                *p = nullptr;
            }
        }
        if (server) {
            server->RemoveGroup(hGroup, FALSE);
            server->Release();
            server = nullptr;
        }
    }
    // An active group of the given rate; `items` holds its IOPCItemMgt.
    HRESULT openGroup(DWORD rate, OPCHANDLE hClientGroup, DWORD* revised) {
        IUnknown* unk = nullptr;
        const HRESULT hr = server->AddGroup(L"G", TRUE, rate, hClientGroup, nullptr, nullptr, 0,
                                            &hGroup, revised, IID_IOPCItemMgt, &unk);
        items = static_cast<IOPCItemMgt*>(unk);
        return hr;
    }
    // Definitions for `ids`, client handles from `firstClient` on.
    static std::vector<OPCITEMDEF> itemDefs(const std::vector<const wchar_t*>& ids,
                                            OPCHANDLE firstClient) {
        std::vector<OPCITEMDEF> defs;
        for (const wchar_t* id : ids) {
            defs.push_back(OPCITEMDEF{const_cast<LPWSTR>(L""), const_cast<LPWSTR>(id), TRUE,
                                      firstClient++, 0, nullptr, VT_EMPTY, 0});
        }
        return defs;
    }
    HRESULT advise(DWORD advf) {
        FORMATETC fe{static_cast<CLIPFORMAT>(sink.format), nullptr, DVASPECT_CONTENT, -1,
                     TYMED_HGLOBAL};
        return dataObject->DAdvise(&fe, advf, &sink, &connection);
    }

    IOPCServer* server = nullptr;
    IOPCItemMgt* items = nullptr;
    IOPCGroupStateMgt* state = nullptr;
    IDataObject* dataObject = nullptr;
    IOPCAsyncIO* asyncIo = nullptr;
    OPCHANDLE hGroup = 0;
    DWORD connection = 0;
    Sink sink;
};

// Strings returned through [out, string] pointers and inside records: the
// proxy/stub must bring each across (the bridge's own tests see the vendor
// text; the error text and the group name are seen only here).
TEST_F(OpcSimClient, StringsCrossTheProcessBoundary) {
    scenario("[server]\nvendor = \"Sim \\u00fc\"\n");
    ASSERT_EQ(connect(), S_OK);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    ASSERT_NE(status, nullptr);
    ASSERT_NE(status->szVendorInfo, nullptr);
    EXPECT_STREQ(status->szVendorInfo, L"Sim \u00fc");
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    LPWSTR text = nullptr;
    ASSERT_EQ(server->GetErrorString(OPC_E_UNKNOWNITEMID, 0, &text), S_OK);
    ASSERT_NE(text, nullptr) << "[out, string] pointer lost on the way";
    EXPECT_STREQ(text, L"The item is no longer available in the server address space.");
    CoTaskMemFree(text);

    DWORD revised = 0;
    ASSERT_EQ(openGroup(3000, 1, &revised), S_OK);
    ASSERT_EQ(items->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state)), S_OK);
    DWORD rate = 0;
    BOOL active = FALSE;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    DWORD lcid = 0;
    OPCHANDLE hClient = 0, hServer = 0;
    ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &hClient, &hServer),
              S_OK);
    ASSERT_NE(name, nullptr) << "[out, string] pointer lost on the way";
    EXPECT_STREQ(name, L"G");
    CoTaskMemFree(name);
}

TEST_F(OpcSimClient, BlockFaultsReachTheSinkInEveryBlock) {
    scenario(R"([faults]
blockStatus = 0x80004005
unknownHandle = 0xDEAD
addItemsIncomplete = results
[items]
B.Count = VT_I4; 0; counter 1
B.Fixed = VT_UI2; 7
)");
    ASSERT_EQ(connect(), S_OK);
    DWORD revised = 0;
    ASSERT_EQ(openGroup(200, 0xB10C, &revised), S_OK);
    ASSERT_EQ(items->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&dataObject)), S_OK);
    ASSERT_EQ(items->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&asyncIo)), S_OK);

    // The results array is left out, the errors array is there.
    auto defs = itemDefs({L"B.Count", L"B.Fixed"}, 1);
    OPCITEMRESULT* results = reinterpret_cast<OPCITEMRESULT*>(1);
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(2, defs.data(), &results, &errors), S_OK);
    EXPECT_EQ(results, nullptr);
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], S_OK);
    CoTaskMemFree(errors);

    // Every block carries the status and starts with the stray handle.
    auto expectFaulty = [](const ReadBlock& b) {
        EXPECT_EQ(b.hrStatus, E_FAIL);
        EXPECT_EQ(b.hClientGroup, 0xB10Cu);
        ASSERT_FALSE(b.items.empty());
        EXPECT_EQ(b.items[0].hClient, 0xDEADu);
        EXPECT_EQ(b.items[0].quality, 0x00C0);
        expectRecord(b.items[0], VT_I4, static_cast<int32_t>(0));
    };
    ASSERT_EQ(advise(ADVF_PRIMEFIRST), S_OK);
    ASSERT_TRUE(pumpUntil([&] { return !sink.blocks.empty(); }));
    auto primed = readBlock(sink.blocks[0]);
    ASSERT_TRUE(primed);
    expectFaulty(*primed);
    ASSERT_EQ(primed->items.size(), 3u);
    ASSERT_NE(findItem(*primed, 2), nullptr);
    expectRecord(*findItem(*primed, 2), VT_UI2, static_cast<uint16_t>(7));

    // A subscription update: the stray handle, then only what changed.
    ASSERT_TRUE(pumpUntil([&] { return sink.blocks.size() > 1; }));
    auto update = readBlock(sink.blocks[1]);
    ASSERT_TRUE(update);
    expectFaulty(*update);
    EXPECT_EQ(update->transactionId, 0u);
    ASSERT_EQ(update->items.size(), 2u);
    EXPECT_EQ(update->items[1].hClient, 1u);

    DWORD transaction = 0;
    ASSERT_EQ(asyncIo->Refresh(connection, OPC_DS_DEVICE, &transaction), S_OK);
    std::optional<ReadBlock> answer;
    ASSERT_TRUE(pumpUntil([&] {
        for (const auto& bytes : sink.blocks) {
            auto b = readBlock(bytes);
            if (b && b->transactionId == transaction && transaction != 0) {
                answer = b;
                return true;
            }
        }
        return false;
    }));
    expectFaulty(*answer);
    EXPECT_EQ(answer->items.size(), 3u);

    const std::string journal = readJournal();
    EXPECT_NE(journal.find("-> 0x00000000 hServer=[1,2] errors=[0x00000000,0x00000000] "
                           "incomplete=results"),
              std::string::npos)
        << journal;
    EXPECT_NE(journal.find("transaction=0 hrStatus=0x80004005 size=" +
                           std::to_string(sink.blocks[0].size()) + " items=[57005:VT_I4:0,"),
              std::string::npos)
        << journal;
}

TEST_F(OpcSimClient, RefusalsMissingInterfacesAndSlowCallsAreSeenByTheClient) {
    scenario(R"([faults]
noDataObject = true
noConnectionPointContainer = true
setState = 0x80070005
addItemsIncomplete = errors
slow = AddItems:1000, GetStatus:500
[items]
C.A = VT_I4; 1
)");
    ASSERT_EQ(connect(), S_OK);
    using Clock = std::chrono::steady_clock;
    auto msSince = [](Clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    };

    IConnectionPointContainer* container = reinterpret_cast<IConnectionPointContainer*>(1);
    EXPECT_EQ(
        server->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
        E_NOINTERFACE);
    EXPECT_EQ(container, nullptr);
    if (container && container != reinterpret_cast<IConnectionPointContainer*>(1)) {
        container->Release();  // else the server would never end
    }

    // Slow calls: at least the configured delay (lower bounds only).
    OPCSERVERSTATUS* status = nullptr;
    auto start = Clock::now();
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    EXPECT_GE(msSince(start), 450);
    ASSERT_NE(status, nullptr);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    DWORD revised = 0;
    ASSERT_EQ(openGroup(1000, 3, &revised), S_OK);
    IDataObject* noData = reinterpret_cast<IDataObject*>(1);
    EXPECT_EQ(items->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&noData)),
              E_NOINTERFACE);
    EXPECT_EQ(noData, nullptr);
    if (noData && noData != reinterpret_cast<IDataObject*>(1)) {
        noData->Release();
    }
    ASSERT_EQ(items->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state)), S_OK);

    // AddItems, slow, with the errors array left out.
    auto defs = itemDefs({L"C.A"}, 1);
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    start = Clock::now();
    ASSERT_EQ(items->AddItems(1, defs.data(), &results, &errors), S_OK);
    EXPECT_GE(msSince(start), 900);
    EXPECT_EQ(errors, nullptr);
    ASSERT_NE(results, nullptr);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_I4);
    EXPECT_NE(results[0].hServer, 0u);
    CoTaskMemFree(results);

    // A refused SetState leaves the group as it was.
    DWORD requested = 250;
    BOOL inactive = FALSE;
    EXPECT_EQ(state->SetState(&requested, &revised, &inactive, nullptr, nullptr, nullptr, nullptr),
              static_cast<HRESULT>(0x80070005));
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    OPCHANDLE hClient = 0, hServer = 0;
    ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &hClient, &hServer),
              S_OK);
    CoTaskMemFree(name);
    EXPECT_EQ(rate, 1000u);
    EXPECT_EQ(active, TRUE);

    // The server's own clock agrees: AddItems answered at least the delay
    // after AddGroup did.
    const std::string journal = readJournal();
    const long long addGroup = journalMs(journal, "IOPCServer.AddGroup");
    const long long addItems = journalMs(journal, "IOPCItemMgt.AddItems");
    ASSERT_GE(addGroup, 0) << journal;
    ASSERT_GE(addItems, 0) << journal;
    EXPECT_GE(addItems - addGroup, 900) << journal;
    EXPECT_NE(journal.find("errors=[0x00000000] incomplete=errors"), std::string::npos) << journal;
    EXPECT_NE(journal.find("IOPCGroupStateMgt.SetState rate=250 active=0 timeBias=null "
                           "deadband=null lcid=null hClientGroup=null -> 0x80070005"),
              std::string::npos)
        << journal;
}

}  // namespace
