// An OPC client that talks to the registered simulation server out of
// process, through the proxy/stub: every result, every [out] string and the
// data-change stream have crossed a process boundary here.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

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

    IOPCServer* server = nullptr;
    IOPCItemMgt* items = nullptr;
    IOPCGroupStateMgt* state = nullptr;
    IDataObject* dataObject = nullptr;
    IOPCAsyncIO* asyncIo = nullptr;
    OPCHANDLE hGroup = 0;
    DWORD connection = 0;
    Sink sink;
};

TEST_F(OpcSimClient, EveryCallAndTheStreamCrossTheProcessBoundary) {
    scenario(R"([server]
vendor = "Sim ü"
revise = 3000:1000
[items]
T.I4 = VT_I4; -7
T.R8 = VT_R8; 0.1
T.CY = VT_CY; -123456789.1234
T.DATE = VT_DATE; 45123.75
T.I8 = VT_I8; -9223372036854775807
T.DEC = VT_DECIMAL; -79228162514264337593543950335
T.BOOL = VT_BOOL; true
T.UI2 = VT_UI2; 65535
T.STR = VT_BSTR; "Grüße\u3042"
T.EMPTY = VT_BSTR; ""
T.Count = VT_I4; 0; counter 1; quality 0x40; reserved 9
)");
    ASSERT_EQ(connect(), S_OK);

    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    ASSERT_NE(status->szVendorInfo, nullptr);
    EXPECT_STREQ(status->szVendorInfo, L"Sim ü");
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    LPWSTR text = nullptr;
    ASSERT_EQ(server->GetErrorString(OPC_E_UNKNOWNITEMID, 0, &text), S_OK);
    ASSERT_NE(text, nullptr) << "[out, string] pointer lost on the way";
    EXPECT_STREQ(text, L"The item is no longer available in the server address space.");
    CoTaskMemFree(text);

    LONG bias = 0;
    FLOAT deadband = 0;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    ASSERT_EQ(server->AddGroup(L"Line1", TRUE, 3000, 0xC001, &bias, &deadband, 0, &hGroup, &revised,
                               IID_IOPCItemMgt, &unk),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 1000u);
    items = static_cast<IOPCItemMgt*>(unk);
    ASSERT_EQ(items->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state)), S_OK);
    ASSERT_EQ(state->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&dataObject)), S_OK);
    ASSERT_EQ(state->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&asyncIo)), S_OK);

    const wchar_t* ids[] = {L"T.I4",   L"T.R8",  L"T.CY",  L"T.DATE",  L"T.I8",    L"T.DEC",
                            L"T.BOOL", L"T.UI2", L"T.STR", L"T.EMPTY", L"No.Such", L"T.Count"};
    const DWORD n = sizeof ids / sizeof ids[0];
    std::vector<OPCITEMDEF> defs(n);
    for (DWORD i = 0; i < n; ++i) {
        defs[i] = OPCITEMDEF{const_cast<LPWSTR>(L""),
                             const_cast<LPWSTR>(ids[i]),
                             TRUE,
                             100 + i,
                             0,
                             nullptr,
                             VT_EMPTY,
                             0};
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(n, defs.data(), &results, &errors), S_FALSE);
    ASSERT_NE(results, nullptr);
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(errors[10], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(results[8].vtCanonicalDataType, VT_BSTR);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    // Prime: every active item at once, bit for bit.
    FORMATETC fe{static_cast<CLIPFORMAT>(sink.format), nullptr, DVASPECT_CONTENT, -1,
                 TYMED_HGLOBAL};
    ASSERT_EQ(dataObject->DAdvise(&fe, ADVF_PRIMEFIRST, &sink, &connection), S_OK);
    ASSERT_TRUE(pumpUntil([&] { return !sink.blocks.empty(); }));
    auto block = readBlock(sink.blocks[0]);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->hClientGroup, 0xC001u);
    EXPECT_EQ(block->transactionId, 0u);
    ASSERT_EQ(block->items.size(), 11u);
    auto item = [&](DWORD hClient) {
        for (const ReadItem& r : block->items) {
            if (r.hClient == hClient) {
                return r;
            }
        }
        ADD_FAILURE() << "no item " << hClient;
        return ReadItem{};
    };
    auto payload = [](const ReadItem& r, auto sample) {
        decltype(sample) v;
        std::memcpy(&v, r.record + 8, sizeof v);
        return v;
    };
    EXPECT_EQ(item(100).vt, VT_I4);
    EXPECT_EQ(payload(item(100), LONG()), -7);
    EXPECT_EQ(payload(item(101), double()), 0.1);
    EXPECT_EQ(payload(item(102), LONGLONG()), -1234567891234LL);  // currency units of 1/10000
    EXPECT_EQ(payload(item(103), double()), 45123.75);
    EXPECT_EQ(payload(item(104), LONGLONG()), -9223372036854775807LL);
    DECIMAL dec{};
    std::memcpy(&dec, item(105).record, 16);
    EXPECT_EQ(dec.wReserved, VT_DECIMAL);
    EXPECT_EQ(dec.sign, DECIMAL_NEG);
    EXPECT_EQ(dec.Hi32, 0xFFFFFFFFu);
    EXPECT_EQ(dec.Lo64, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(payload(item(106), VARIANT_BOOL()), VARIANT_TRUE);
    EXPECT_EQ(payload(item(107), USHORT()), 65535);
    EXPECT_EQ(item(108).text, L"Grüße\u3042");
    EXPECT_EQ(item(109).vt, VT_BSTR);
    EXPECT_EQ(item(109).text, L"");
    EXPECT_EQ(item(111).quality, 0x40);
    EXPECT_EQ(item(111).reserved, 9);

    // Subscription: only the counter changes.
    const size_t primed = sink.blocks.size();
    ASSERT_TRUE(pumpUntil([&] { return sink.blocks.size() > primed; }));
    block = readBlock(sink.blocks.back());
    ASSERT_TRUE(block);
    ASSERT_EQ(block->items.size(), 1u);
    EXPECT_EQ(block->items[0].hClient, 111u);

    // Refresh answers through the stream with its transaction id.
    DWORD transaction = 0;
    ASSERT_EQ(asyncIo->Refresh(connection, OPC_DS_DEVICE, &transaction), S_OK);
    ASSERT_TRUE(pumpUntil([&] {
        auto b = readBlock(sink.blocks.back());
        return b && b->transactionId == transaction && transaction != 0;
    }));
    EXPECT_EQ(readBlock(sink.blocks.back())->items.size(), 11u);

    // Group state, name included.
    DWORD rate = 0, lcid = 1;
    BOOL active = FALSE;
    LPWSTR name = nullptr;
    OPCHANDLE hClient = 0, hServer = 0;
    ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &hClient, &hServer),
              S_OK);
    ASSERT_NE(name, nullptr) << "[out, string] pointer lost on the way";
    EXPECT_STREQ(name, L"Line1");
    CoTaskMemFree(name);
    EXPECT_EQ(rate, 1000u);
    EXPECT_EQ(hClient, 0xC001u);
    EXPECT_EQ(hServer, hGroup);

    DWORD requested = 5000;
    BOOL inactive = FALSE;
    ASSERT_EQ(state->SetState(&requested, &revised, &inactive, nullptr, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(revised, 5000u);
    EXPECT_EQ(asyncIo->Refresh(connection, OPC_DS_DEVICE, &transaction), E_FAIL);

    // Shutdown request on command.
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(
        server->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
        S_OK);
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(&sink), &cookie), S_OK);
    command("shutdown maintenance ü");
    ASSERT_TRUE(pumpUntil([&] { return !sink.reasons.empty(); }));
    EXPECT_EQ(sink.reasons[0], L"maintenance ü");
    point->Unadvise(cookie);
    point->Release();
    container->Release();

    // The journal saw the calls in order, with their arguments and results.
    const std::string journal = readJournal();
    const size_t add =
        journal.find("IOPCServer.AddGroup name=\"Line1\" active=1 rate=3000 hClientGroup=49153");
    const size_t items_ = journal.find("IOPCItemMgt.AddItems count=12");
    const size_t advise = journal.find(
        "IDataObject.DAdvise format=OPCSTMFORMATDATA tymed=1 aspect=1 index=-1 advf=2");
    EXPECT_NE(add, std::string::npos) << journal;
    EXPECT_LT(add, items_);
    EXPECT_LT(items_, advise);
    EXPECT_NE(journal.find("-> 0x0004000D hServerGroup=1 revisedRate=1000"), std::string::npos);
    EXPECT_NE(journal.find("0xC0040007,"), std::string::npos);
    EXPECT_NE(journal.find("IOPCGroupStateMgt.SetState rate=5000 active=0 timeBias=null"),
              std::string::npos);
    EXPECT_NE(journal.find("Send.ShutdownRequest cookie=1 reason=\"maintenance ü\" -> 0x00000000"),
              std::string::npos);
}

TEST_F(OpcSimClient, FaultsAreSeenByTheClient) {
    scenario(
        "[faults]\nnoAsyncIO = true\naddItems = 0x80004005\nnoConnectionPoint = true\n"
        "[items]\nA = VT_I4; 1\n");
    ASSERT_EQ(connect(), S_OK);
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    ASSERT_EQ(server->AddGroup(L"", TRUE, 500, 1, nullptr, nullptr, 0, &hGroup, &revised,
                               IID_IOPCItemMgt, &unk),
              S_OK);
    items = static_cast<IOPCItemMgt*>(unk);
    EXPECT_EQ(items->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&asyncIo)),
              E_NOINTERFACE);
    OPCITEMDEF def{
        const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L"A"), TRUE, 1, 0, nullptr, VT_EMPTY, 0};
    OPCITEMRESULT* results = reinterpret_cast<OPCITEMRESULT*>(1);
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(items->AddItems(1, &def, &results, &errors), E_FAIL);
    EXPECT_EQ(results, nullptr);
    EXPECT_EQ(errors, nullptr);
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(
        server->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
        S_OK);
    IConnectionPoint* point = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &point), CONNECT_E_NOCONNECTION);
    container->Release();
}

TEST_F(OpcSimClient, CreateInstanceFaultReachesTheCaller) {
    scenario("[faults]\ncreateInstance = 0x80004005\n");
    EXPECT_EQ(connect(), E_FAIL);
}

}  // namespace
