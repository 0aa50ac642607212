#pragma once
// An in-process OPC server and group standing in at the bridge's COM
// interfaces: it records what the bridge calls, with which arguments and in
// which order, and answers as a test sets it up.
#include <windows.h>
#include <objidl.h>
#include <ocidl.h>

#include <comdef.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "OpcDa.h"
#include "opc/ServerActivation.h"
#include "common/TickClock.h"
#include "opc/ServerThread.h"
#include "opc/TopicGroup.h"

namespace korven::test {

// A braced class identifier: resolved without the registry.
constexpr const wchar_t* kFakeProgId = L"{0B1C2D3E-4F50-6172-8394-A5B6C7D8E9F0}";

template <class T>
T* taskCopy(const std::vector<T>& items) {
    T* out = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * (items.empty() ? 1 : items.size())));
    for (size_t i = 0; i < items.size(); ++i) {
        out[i] = items[i];
    }
    return out;
}

inline wchar_t* taskString(const std::wstring& text) {
    auto* out = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    text.copy(out, text.size());
    out[text.size()] = L'\0';
    return out;
}

class FakeOpcGroup final : public IOPCItemMgt,
                           public IOPCGroupStateMgt,
                           public IDataObject,
                           public IOPCAsyncIO {
  public:
    // Set up by a test.
    bool hasAsyncIo = true;
    bool addItemsNullErrors = false;
    std::map<std::wstring, HRESULT> itemErrors;  // item ID -> per-item error
    std::function<void()> duringAddItems;        // runs inside AddItems (re-entrancy)
    std::wstring name = L"Group";

    // What the bridge did.
    std::vector<std::string>* calls = nullptr;
    std::vector<std::vector<std::wstring>> addBatches;
    std::vector<std::vector<OPCITEMDEF>> addDefinitions;  // IDs point into addBatches
    std::vector<std::vector<OPCHANDLE>> removeBatches;
    IAdviseSink* sink = nullptr;
    DWORD adviseFlags = 0;
    FORMATETC adviseFormat{};
    bool active = TRUE;
    DWORD updateRate = 0;
    OPCHANDLE clientHandle = 0;
    OPCHANDLE serverHandle = 1;
    OPCHANDLE nextItemHandle = 100;
    LONG refs = 1;

    void record(const std::string& call) {
        if (calls)
            calls->push_back(call);
    }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_INVALIDARG;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCItemMgt)) {
            *out = static_cast<IOPCItemMgt*>(this);
        } else if (IsEqualIID(iid, IID_IOPCGroupStateMgt)) {
            *out = static_cast<IOPCGroupStateMgt*>(this);
        } else if (IsEqualIID(iid, IID_IDataObject)) {
            *out = static_cast<IDataObject*>(this);
        } else if (IsEqualIID(iid, IID_IOPCAsyncIO) && hasAsyncIo) {
            *out = static_cast<IOPCAsyncIO*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = --refs;
        if (count == 0)
            delete this;
        return count;
    }

    // IOPCItemMgt
    STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results,
                          HRESULT** errors) override {
        record("AddItems");
        std::vector<std::wstring> ids;
        for (DWORD i = 0; i < count; ++i)
            ids.push_back(items[i].szItemID);
        addBatches.push_back(ids);
        addDefinitions.emplace_back(items, items + count);
        if (duringAddItems)
            duringAddItems();
        std::vector<OPCITEMRESULT> out(count);
        std::vector<HRESULT> codes(count, S_OK);
        HRESULT hr = S_OK;
        for (DWORD i = 0; i < count; ++i) {
            auto error = itemErrors.find(items[i].szItemID);
            if (error != itemErrors.end()) {
                codes[i] = error->second;
                hr = S_FALSE;
            } else {
                out[i].hServer = nextItemHandle++;
                out[i].vtCanonicalDataType = VT_I4;
            }
        }
        *results = taskCopy(out);
        *errors = addItemsNullErrors ? nullptr : taskCopy(codes);
        return hr;
    }
    STDMETHODIMP ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override {
        record("RemoveItems");
        removeBatches.emplace_back(handles, handles + count);
        *errors = taskCopy(std::vector<HRESULT>(count, S_OK));
        return S_OK;
    }
    STDMETHODIMP SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP CreateEnumerator(REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* rate, BOOL* isActive, LPWSTR* groupName, LONG* bias,
                          FLOAT* deadband, DWORD* lcid, OPCHANDLE* client,
                          OPCHANDLE* server) override {
        record("GetState");
        *rate = updateRate;
        *isActive = active;
        *groupName = taskString(name);
        *bias = -540;
        *deadband = 0.7f;
        *lcid = 0x411;
        *client = clientHandle;
        *server = serverHandle;
        return S_OK;
    }
    STDMETHODIMP SetState(DWORD* rate, DWORD* revised, BOOL* isActive, LONG*, FLOAT*, DWORD*,
                          OPCHANDLE*) override {
        record("SetState rate=" + (rate ? std::to_string(*rate) : std::string("null")) +
               " active=" + (isActive ? std::to_string(*isActive) : std::string("null")));
        if (rate)
            updateRate = *rate;
        if (isActive)
            active = *isActive;
        *revised = updateRate;
        return S_OK;
    }
    STDMETHODIMP SetName(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP CloneGroup(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }

    // IDataObject
    STDMETHODIMP GetData(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* adviseSink,
                         DWORD* connection) override {
        record("DAdvise");
        adviseFormat = *format;
        adviseFlags = flags;
        sink = adviseSink;
        sink->AddRef();
        *connection = 7;
        return S_OK;
    }
    STDMETHODIMP DUnadvise(DWORD connection) override {
        record("DUnadvise " + std::to_string(connection));
        if (sink) {
            sink->Release();
            sink = nullptr;
        }
        return S_OK;
    }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

    // IOPCAsyncIO
    STDMETHODIMP Read(DWORD, OPCDATASOURCE, DWORD, OPCHANDLE*, DWORD*, HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Write(DWORD, DWORD, OPCHANDLE*, VARIANT*, DWORD*, HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Refresh(DWORD connection, OPCDATASOURCE source, DWORD* transaction) override {
        record("Refresh connection=" + std::to_string(connection) +
               " source=" + std::to_string(source));
        *transaction = 1;
        return S_OK;
    }
    STDMETHODIMP Cancel(DWORD) override { return E_NOTIMPL; }
};

// The server's connection point for shutdown requests: keeps the sink the
// bridge advises, so a test can send a request as the server would.
class FakeShutdownPoint final : public IConnectionPoint {
  public:
    std::vector<std::string>* calls = nullptr;
    IOPCShutdown* sink = nullptr;
    LONG refs = 1;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_INVALIDARG;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
            *out = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP GetConnectionInterface(IID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Advise(IUnknown* unknown, DWORD* cookie) override {
        calls->push_back("Advise");
        if (FAILED(unknown->QueryInterface(IID_IOPCShutdown, reinterpret_cast<void**>(&sink))))
            return CONNECT_E_CANNOTCONNECT;
        *cookie = 3;
        return S_OK;
    }
    STDMETHODIMP Unadvise(DWORD cookie) override {
        calls->push_back("Unadvise " + std::to_string(cookie));
        if (sink) {
            sink->Release();
            sink = nullptr;
        }
        return S_OK;
    }
    STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }
};

class FakeOpcServer final : public IOPCServer, public IConnectionPointContainer {
  public:
    FakeOpcServer() {
        current() = this;
        shutdownPoint.calls = &calls;
    }
    ~FakeOpcServer() {
        if (group)
            group->Release();
        current() = nullptr;
    }
    // Sends a shutdown request as the server would (false: nobody advised).
    bool requestShutdown(const wchar_t* reason) {
        if (!shutdownPoint.sink)
            return false;
        shutdownPoint.sink->ShutdownRequest(reason);
        return true;
    }
    static FakeOpcServer*& current() {
        static FakeOpcServer* server = nullptr;
        return server;
    }

    // Set up by a test.
    HRESULT activationResult = S_OK;
    HRESULT addGroupResult = S_OK;
    OPCSERVERSTATUS status{};
    std::wstring vendor = L"Fake vendor";
    HRESULT statusResult = S_OK;
    std::function<void()> duringGetStatus;

    // What the bridge did.
    std::vector<std::string> calls;
    DWORD activationContext = 0;
    std::wstring activationNode;
    bool activationHadServerInfo = false;
    std::wstring groupName;
    DWORD requestedRate = 0;
    OPCHANDLE groupClientHandle = 0;
    FakeOpcGroup* group = nullptr;  // the fake keeps one reference of its own
    std::vector<OPCHANDLE> removedGroups;
    FakeShutdownPoint shutdownPoint;
    LONG refs = 1;

    static HRESULT activate(REFCLSID, IUnknown*, DWORD context, COSERVERINFO* info, DWORD count,
                            MULTI_QI* results) {
        FakeOpcServer* self = current();
        self->calls.push_back("CoCreateInstanceEx");
        self->activationContext = context;
        self->activationHadServerInfo = info != nullptr;
        self->activationNode = info && info->pwszName ? info->pwszName : L"";
        if (count != 1 || FAILED(self->activationResult))
            return self->activationResult;
        self->AddRef();
        results[0].pItf = static_cast<IOPCServer*>(self);
        results[0].hr = S_OK;
        return S_OK;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_INVALIDARG;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCServer)) {
            *out = static_cast<IOPCServer*>(this);
        } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
            *out = static_cast<IConnectionPointContainer*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IOPCShutdown))
            return CONNECT_E_NOCONNECTION;
        shutdownPoint.AddRef();
        *out = &shutdownPoint;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }

    STDMETHODIMP AddGroup(LPCWSTR name, BOOL, DWORD rate, OPCHANDLE client, LONG*, FLOAT*, DWORD,
                          OPCHANDLE* serverHandle, DWORD* revised, REFIID iid,
                          LPUNKNOWN* out) override {
        calls.push_back("AddGroup");
        groupName = name;
        requestedRate = rate;
        groupClientHandle = client;
        if (FAILED(addGroupResult))
            return addGroupResult;
        if (!group) {
            group = new FakeOpcGroup;
            group->calls = &calls;
        }
        group->updateRate = rate;
        group->clientHandle = client;
        group->name = name;
        *serverHandle = group->serverHandle;
        *revised = group->updateRate;
        return group->QueryInterface(iid, reinterpret_cast<void**>(out)) == S_OK ? S_OK
                                                                                 : E_NOINTERFACE;
    }
    STDMETHODIMP GetErrorString(HRESULT, LCID, LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** out) override {
        calls.push_back("GetStatus");
        if (duringGetStatus)
            duringGetStatus();
        if (FAILED(statusResult))
            return statusResult;
        auto* copy = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
        *copy = status;
        copy->szVendorInfo = vendor.empty() ? nullptr : taskString(vendor);
        *out = copy;
        return S_OK;
    }
    STDMETHODIMP RemoveGroup(OPCHANDLE handle, BOOL force) override {
        calls.push_back("RemoveGroup " + std::to_string(handle) + " " + std::to_string(force));
        removedGroups.push_back(handle);
        return S_OK;
    }
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) override {
        return E_NOTIMPL;
    }
};

// A topic group connected to the fake server (created through the fake
// activation, which a test puts in place first); a failed connection raises
// its code.
inline std::unique_ptr<TopicGroup> makeTopicGroup(const wchar_t* topic = L"Line1",
                                                  const wchar_t* node = L"",
                                                  const wchar_t* progId = kFakeProgId,
                                                  DWORD waitMs = 0) {
    auto group = std::make_unique<TopicGroup>(
        SharedText::fromWide(progId), SharedText::fromWide(node), SharedText::fromWide(topic));
    const HRESULT hr = group->awaitFirstConnection(tickCount() + waitMs);
    if (FAILED(hr)) {
        group->sayRelease = false;
        throw _com_error(hr);
    }
    return group;
}

// Puts the fake in place of server creation for a test's lifetime, and has
// every topic's session serve on the test's thread, each request as it is
// posted: its answers are taken at the group's next tick.
class FakeServerActivation {
  public:
    explicit FakeServerActivation(bool inlineSessions = true) {
        replaceServerActivation(&FakeOpcServer::activate);
        ServerThread::runInline(inlineSessions);
    }
    ~FakeServerActivation() {
        replaceServerActivation(nullptr);
        ServerThread::runInline(false);
    }
};

}  // namespace korven::test
