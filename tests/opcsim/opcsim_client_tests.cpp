// An OPC client that talks to the registered simulation server out of
// process, through the proxy/stub: every result, every [out] string and the
// data-change stream have crossed a process boundary here.
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

TEST_F(OpcSimClient, TheOtherScalarTypesAndArraysCrossTheStreamBitForBit) {
    scenario(R"([items]
T.I1 = VT_I1; -128
T.UI1 = VT_UI1; 255
T.I2 = VT_I2; -32768
T.UI4 = VT_UI4; 4294967295
T.INT = VT_INT; -2147483648
T.UINT = VT_UINT; 0x80000001
T.UI8 = VT_UI8; 18446744073709551615
T.R4 = VT_R4; -0.1
T.R4TINY = VT_R4; 1e-45
T.ERROR = VT_ERROR; 0x80040154
T.AR8 = VT_ARRAY|VT_R8; {1.5,-0.1,1e300}
T.AI2 = VT_ARRAY|VT_I2; {-1,2,32767}
T.ANONE = VT_ARRAY|VT_R8; {}
)");
    ASSERT_EQ(connect(), S_OK);
    DWORD revised = 0;
    ASSERT_EQ(openGroup(60000, 2, &revised), S_OK);
    ASSERT_EQ(items->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&dataObject)), S_OK);
    auto defs = itemDefs({L"T.I1", L"T.UI1", L"T.I2", L"T.UI4", L"T.INT", L"T.UINT", L"T.UI8",
                          L"T.R4", L"T.R4TINY", L"T.ERROR", L"T.AR8", L"T.AI2", L"T.ANONE"},
                         1);
    const VARTYPE canonical[] = {
        VT_I1, VT_UI1, VT_I2,    VT_UI4,           VT_INT,           VT_UINT,         VT_UI8,
        VT_R4, VT_R4,  VT_ERROR, VT_ARRAY | VT_R8, VT_ARRAY | VT_I2, VT_ARRAY | VT_R8};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors),
              S_OK);
    ASSERT_NE(results, nullptr);
    ASSERT_NE(errors, nullptr);
    for (size_t i = 0; i < defs.size(); ++i) {
        EXPECT_EQ(errors[i], S_OK) << i;
        EXPECT_EQ(results[i].vtCanonicalDataType, canonical[i]) << i;
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    // The group's rate is long: the primed block is the only one.
    ASSERT_EQ(advise(ADVF_PRIMEFIRST), S_OK);
    ASSERT_TRUE(pumpUntil([&] { return !sink.blocks.empty(); }));
    auto block = readBlock(sink.blocks[0]);
    ASSERT_TRUE(block) << hexBytes(sink.blocks[0].data(), sink.blocks[0].size());
    EXPECT_EQ(block->hrStatus, S_OK);
    ASSERT_EQ(block->items.size(), defs.size());
    auto item = [&](DWORD hClient) {
        const ReadItem* r = findItem(*block, hClient);
        return r ? *r : (ADD_FAILURE() << "no item " << hClient, ReadItem{});
    };
    expectRecord(item(1), VT_I1, static_cast<int8_t>(-128));
    expectRecord(item(2), VT_UI1, static_cast<uint8_t>(255));
    expectRecord(item(3), VT_I2, static_cast<int16_t>(-32768));
    expectRecord(item(4), VT_UI4, static_cast<uint32_t>(0xFFFFFFFFu));
    expectRecord(item(5), VT_INT, static_cast<int32_t>(0x80000000u));
    expectRecord(item(6), VT_UINT, static_cast<uint32_t>(0x80000001u));
    expectRecord(item(7), VT_UI8, ~0ull);
    expectRecord(item(8), VT_R4, static_cast<uint32_t>(0xBDCCCCCDu));  // -0.1f
    expectRecord(item(9), VT_R4, static_cast<uint32_t>(1));            // smallest subnormal
    expectRecord(item(10), VT_ERROR, static_cast<uint32_t>(0x80040154u));

    // An array: its record's type word and three zero words, then a byte
    // count and the elements packed at their own width.
    const uint8_t zeros[6] = {};
    const ReadItem ar8 = item(11);
    EXPECT_EQ(ar8.vt, 8197);
    EXPECT_EQ(std::memcmp(ar8.record + 2, zeros, 6), 0) << hexBytes(ar8.record, 16);
    const double r8s[] = {1.5, -0.1, 1e300};
    ASSERT_EQ(ar8.elements.size(), sizeof r8s);
    EXPECT_EQ(std::memcmp(ar8.elements.data(), r8s, sizeof r8s), 0)
        << hexBytes(ar8.elements.data(), ar8.elements.size());
    const ReadItem ai2 = item(12);
    EXPECT_EQ(ai2.vt, VT_ARRAY | VT_I2);
    EXPECT_EQ(std::memcmp(ai2.record + 2, zeros, 6), 0) << hexBytes(ai2.record, 16);
    const int16_t i2s[] = {-1, 2, 32767};
    ASSERT_EQ(ai2.elements.size(), sizeof i2s);
    EXPECT_EQ(std::memcmp(ai2.elements.data(), i2s, sizeof i2s), 0);
    EXPECT_EQ(item(13).vt, VT_ARRAY | VT_R8);
    EXPECT_TRUE(item(13).elements.empty());
    // Nothing else in the block: headers, 16-byte records, and the three
    // arrays' counts and elements.
    EXPECT_EQ(block->size,
              20u + 12 * defs.size() + 16 * defs.size() + 3 * 4 + sizeof r8s + sizeof i2s);

    const std::string journal = readJournal();
    EXPECT_NE(journal.find("7:VT_UI8:18446744073709551615,"), std::string::npos) << journal;
    EXPECT_NE(journal.find("10:VT_ERROR:0x80040154,"), std::string::npos) << journal;
    EXPECT_NE(journal.find("12:VT_ARRAY|VT_I2:{-1,2,32767},13:VT_ARRAY|VT_R8:{}]"),
              std::string::npos)
        << journal;
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

TEST_F(OpcSimClient, ShutdownDuringACallReachesTheClientBeforeTheAnswer) {
    scenario("[items]\nA = VT_I4; 1\n");
    ASSERT_EQ(connect(), S_OK);
    DWORD revised = 0;
    ASSERT_EQ(openGroup(1000, 3, &revised), S_OK);
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(
        server->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
        S_OK);
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(&sink), &cookie), S_OK);
    command(
        "shutdown-during IOPCItemMgt.AddItems maintenance ü\nshutdown-during IOPCSyncIO.Read x");
    ASSERT_TRUE(pumpUntil([] {
        return readJournal().find("Control.shutdown-during call=\"IOPCSyncIO.Read\"") !=
               std::string::npos;
    }));

    auto defs = itemDefs({L"A"}, 1);
    for (int call = 0; call < 2; ++call) {
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(items->AddItems(1, defs.data(), &results, &errors), S_OK);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        // Already there when the answer came, and only for the first call.
        ASSERT_EQ(sink.reasons.size(), 1u);
        EXPECT_EQ(sink.reasons[0], L"maintenance ü");
    }
    point->Unadvise(cookie);
    point->Release();
    container->Release();

    const std::string journal = readJournal();
    const size_t armed = journal.find(
        "Control.shutdown-during call=\"IOPCItemMgt.AddItems\" reason=\"maintenance ü\" -> "
        "0x00000000");
    const size_t sent =
        journal.find("Send.ShutdownRequest cookie=1 reason=\"maintenance ü\" -> 0x00000000");
    const size_t answered = journal.find("IOPCItemMgt.AddItems count=1");
    EXPECT_NE(armed, std::string::npos) << journal;
    EXPECT_LT(armed, sent) << journal;
    EXPECT_LT(sent, answered) << journal;
    EXPECT_NE(journal.find("Control.shutdown-during call=\"IOPCSyncIO.Read\" reason=\"x\" -> "
                           "0x80070057"),
              std::string::npos)
        << journal;
}

}  // namespace

TEST_F(OpcSimClient, BrowsingAndItemPropertiesCrossTheProcessBoundary) {
    scenario(R"([items]
A.B.Cü = VT_R8; 1
A.D = VT_I4; 2
Root = VT_BSTR; "x"
)");
    ASSERT_EQ(connect(), S_OK);
    IOPCBrowseServerAddressSpace* browse = nullptr;
    ASSERT_EQ(
        server->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&browse)),
        S_OK);
    auto names = [&](OPCBROWSETYPE type, const wchar_t* filter, VARTYPE vt, DWORD rights,
                     HRESULT expected) {
        IEnumString* list = nullptr;
        EXPECT_EQ(browse->BrowseOPCItemIDs(type, filter, vt, rights, &list), expected);
        std::wstring joined;
        LPOLESTR name = nullptr;
        while (list && list->Next(1, &name, nullptr) == S_OK) {
            joined += (joined.empty() ? L"" : L"|") + std::wstring(name);
            CoTaskMemFree(name);
        }
        if (list) {
            list->Release();
        }
        return joined;
    };
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), E_FAIL);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Nope"), E_INVALIDARG);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"A.B"), S_OK);
    EXPECT_EQ(names(OPC_LEAF, L"C*", VT_EMPTY, 0, S_OK), L"Cü");
    LPWSTR id = nullptr;
    ASSERT_EQ(browse->GetItemID(const_cast<LPWSTR>(L"Cü"), &id), S_OK);
    ASSERT_NE(id, nullptr);
    EXPECT_STREQ(id, L"A.B.Cü");
    CoTaskMemFree(id);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L""), S_OK);
    EXPECT_EQ(names(OPC_BRANCH, L"", VT_EMPTY, 0, S_OK), L"A");
    EXPECT_EQ(names(OPC_FLAT, L"*.*", VT_EMPTY, OPC_READABLE, S_OK), L"A.D|A.B.Cü");
    EXPECT_EQ(names(OPC_FLAT, L"", VT_I4, 0, S_OK), L"A.D");
    EXPECT_EQ(names(OPC_LEAF, L"", VT_EMPTY, OPC_WRITEABLE, S_FALSE), L"");
    IEnumString* paths = nullptr;
    EXPECT_EQ(browse->BrowseAccessPaths(L"A.D", &paths), E_NOTIMPL);
    browse->Release();

    IOPCItemProperties* properties = nullptr;
    ASSERT_EQ(server->QueryInterface(IID_IOPCItemProperties, reinterpret_cast<void**>(&properties)),
              S_OK);
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(properties->QueryAvailableProperties(const_cast<LPWSTR>(L"A.D"), &count, &ids,
                                                   &descriptions, &types),
              S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(ids[1], 5u);
    ASSERT_NE(descriptions[0], nullptr);
    ASSERT_NE(descriptions[1], nullptr);
    EXPECT_STREQ(descriptions[0], L"Item Canonical DataType");
    EXPECT_STREQ(descriptions[1], L"Item Access Rights");
    EXPECT_EQ(types[0], VT_I2);
    EXPECT_EQ(types[1], VT_I4);
    for (DWORD i = 0; i < count; ++i) {
        CoTaskMemFree(descriptions[i]);
    }
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);

    DWORD wanted[] = {1, 5, 7};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(
        properties->GetItemProperties(const_cast<LPWSTR>(L"A.B.Cü"), 3, wanted, &values, &errors),
        S_FALSE);
    EXPECT_EQ(values[0].vt, VT_I2);
    EXPECT_EQ(values[0].iVal, VT_R8);
    EXPECT_EQ(values[1].vt, VT_I4);
    EXPECT_EQ(values[1].lVal, OPC_READABLE);
    EXPECT_EQ(values[2].vt, VT_EMPTY);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[2], OPC_E_INVALID_PID);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    EXPECT_EQ(
        properties->GetItemProperties(const_cast<LPWSTR>(L"No.Such"), 1, wanted, &values, &errors),
        OPC_E_UNKNOWNITEMID);
    properties->Release();
}
