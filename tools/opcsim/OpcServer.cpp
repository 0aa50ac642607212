#include "OpcServer.h"

#include <olectl.h>

#include "ComGuards.h"
#include "OpcGroup.h"
#include "Simulation.h"
#include "ValueText.h"

namespace opcsim {
namespace {

const wchar_t* opcErrorText(HRESULT hr) {
    switch (static_cast<uint32_t>(hr)) {
        case 0xC0040001:
            return L"The handle is not valid.";
        case 0xC0040004:
            return L"The server cannot convert the data between the requested type and the "
                   L"canonical type.";
        case 0xC0040005:
            return L"The requested operation cannot be done on a public group.";
        case 0xC0040006:
            return L"The item's access rights do not allow the operation.";
        case 0xC0040007:
            return L"The item is no longer available in the server address space.";
        case 0xC0040008:
            return L"The item definition does not conform to the server's syntax.";
        case 0xC0040009:
            return L"The filter string is not valid.";
        case 0xC004000A:
            return L"The item's access path is not known to the server.";
        case 0xC004000B:
            return L"The value is out of range.";
        case 0xC004000C:
            return L"Duplicate name not allowed.";
        case 0x0004000D:
            return L"The server does not support the requested data rate but will use the closest "
                   L"available rate.";
        case 0x0004000E:
            return L"A value passed to write was accepted but the output was clamped.";
        case 0x0004000F:
            return L"The operation cannot be completed because the object still has references "
                   L"that exist.";
        case 0xC0040010:
            return L"The server's configuration file is an invalid format.";
        case 0xC0040011:
            return L"The server could not locate the requested object.";
        default:
            return nullptr;
    }
}

}  // namespace

OpcServer::OpcServer() : space_(Simulation::get().scenario().items) {
    Simulation::get().objectCreated();
    Simulation::get().addServer(this);
}

OpcServer::~OpcServer() {
    for (auto& [cookie, sink] : shutdownSinks_) {
        sink->Release();
    }
    shutdownSinks_.clear();
    for (auto& [handle, group] : groups_) {
        group->detach();
        group->Release();
    }
    groups_.clear();
    Simulation::get().removeServer(this);
    Simulation::get().journal().write(JournalLine("Server.Released"));
    Simulation::get().objectDestroyed();
}

STDMETHODIMP OpcServer::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCServer) {
        *ppv = static_cast<IOPCServer*>(this);
    } else if (riid == IID_IConnectionPointContainer &&
               !Simulation::get().scenario().faults.noConnectionPointContainer) {
        *ppv = static_cast<IConnectionPointContainer*>(this);
    } else if (riid == IID_IOPCBrowseServerAddressSpace) {
        *ppv = static_cast<IOPCBrowseServerAddressSpace*>(this);
    } else if (riid == IID_IOPCItemProperties) {
        *ppv = static_cast<IOPCItemProperties*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) OpcServer::AddRef() {
    return ++refs_;
}

STDMETHODIMP_(ULONG) OpcServer::Release() {
    LONG left = --refs_;
    if (left == 0) {
        // The final release may be held (slow, hang): references taken and
        // given back meanwhile must not end the object a second time.
        refs_ = 1;
        Simulation::get().arrive("Server.Release");
        left = --refs_;
        if (left == 0) {
            delete this;
        }
    }
    return left;
}

STDMETHODIMP OpcServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                 OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                 DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                 REFIID riid, LPUNKNOWN* ppUnk) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCServer*>(this));
    sim.arrive("IOPCServer.AddGroup");
    JournalLine line("IOPCServer.AddGroup");
    line.text("name", szName)
        .arg("active", bActive)
        .arg("rate", dwRequestedUpdateRate)
        .arg("hClientGroup", hClientGroup)
        .arg("timeBias", pTimeBias ? std::to_string(*pTimeBias) : "null")
        .arg("deadband", pPercentDeadband ? std::to_string(*pPercentDeadband) : "null")
        .arg("lcid", dwLCID);
    auto finish = [&](HRESULT hr) {
        sim.journal().write(line.result(hr));
        return hr;
    };
    if (!phServerGroup || !pRevisedUpdateRate || !ppUnk) {
        return finish(E_INVALIDARG);
    }
    *ppUnk = nullptr;
    *phServerGroup = 0;
    *pRevisedUpdateRate = 0;
    std::wstring name = szName ? szName : L"";
    for (const auto& [handle, group] : groups_) {
        if (!name.empty() && group->name() == name) {
            return finish(OPC_E_DUPLICATENAME);
        }
    }
    const OPCHANDLE handle = nextGroupHandle_++;
    if (name.empty()) {
        name = L"Group" + std::to_wstring(handle);
    }
    const DWORD granted = grantedRate(sim.scenario().server, dwRequestedUpdateRate);
    auto* group =
        new OpcGroup(name, handle, hClientGroup, bActive, granted, pTimeBias ? *pTimeBias : 0,
                     pPercentDeadband ? *pPercentDeadband : 0.0f, dwLCID);
    group->AddRef();
    HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    if (FAILED(hr)) {
        group->detach();
        group->Release();
        return finish(hr);
    }
    groups_[handle] = group;
    *phServerGroup = handle;
    *pRevisedUpdateRate = granted;
    line.result(granted == dwRequestedUpdateRate ? S_OK : OPC_S_UNSUPPORTEDRATE)
        .arg("hServerGroup", handle)
        .arg("revisedRate", granted);
    sim.journal().write(line);
    return granted == dwRequestedUpdateRate ? S_OK : OPC_S_UNSUPPORTEDRATE;
}

STDMETHODIMP OpcServer::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
    const RefHold hold(static_cast<IOPCServer*>(this));
    Simulation::get().arrive("IOPCServer.GetErrorString");
    JournalLine line("IOPCServer.GetErrorString");
    line.code("error", dwError).arg("locale", dwLocale);
    HRESULT hr = S_OK;
    std::wstring text;
    if (!ppString) {
        hr = E_INVALIDARG;
    } else if (const wchar_t* opc = opcErrorText(dwError)) {
        text = opc;
    } else {
        wchar_t* buffer = nullptr;
        DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(dwError), 0,
                                 reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
        if (n == 0) {
            hr = E_INVALIDARG;
        } else {
            text.assign(buffer, n);
            while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
                text.pop_back();
            }
        }
        LocalFree(buffer);
    }
    if (SUCCEEDED(hr)) {
        *ppString = taskString(text.data(), text.size());
        if (!*ppString) {
            hr = E_OUTOFMEMORY;
        }
    } else if (ppString) {
        *ppString = nullptr;
    }
    line.result(hr);
    if (SUCCEEDED(hr)) {
        line.text("string", *ppString);
    }
    Simulation::get().journal().write(line);
    return hr;
}

STDMETHODIMP OpcServer::GetGroupByName(LPCWSTR szName, REFIID, LPUNKNOWN* ppUnk) {
    if (ppUnk) {
        *ppUnk = nullptr;
    }
    Simulation::get().journal().write(
        JournalLine("IOPCServer.GetGroupByName").text("name", szName).result(E_NOTIMPL));
    return E_NOTIMPL;
}

STDMETHODIMP OpcServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCServer*>(this));
    sim.arrive("IOPCServer.GetStatus");
    JournalLine line("IOPCServer.GetStatus");
    if (!ppServerStatus) {
        sim.journal().write(line.result(E_INVALIDARG));
        return E_INVALIDARG;
    }
    *ppServerStatus = nullptr;
    TaskMem<OPCSERVERSTATUS> status(1);
    const ServerSettings& settings = sim.scenario().server;
    if (!status.get()) {
        sim.journal().write(line.result(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    }
    status[0].ftStartTime = sim.startTime();
    GetSystemTimeAsFileTime(&status[0].ftCurrentTime);
    status[0].ftLastUpdateTime = sim.lastUpdateTime();
    status[0].dwServerState = static_cast<OPCSERVERSTATE>(settings.state);
    status[0].dwGroupCount = static_cast<DWORD>(groups_.size());
    status[0].dwBandWidth = settings.bandwidth;
    status[0].wMajorVersion = settings.major;
    status[0].wMinorVersion = settings.minor;
    status[0].wBuildNumber = settings.build;
    status[0].wReserved = 0;
    if (settings.vendor) {
        status[0].szVendorInfo = taskString(settings.vendor->data(), settings.vendor->size());
        if (!status[0].szVendorInfo) {
            sim.journal().write(line.result(E_OUTOFMEMORY));
            return E_OUTOFMEMORY;
        }
    }
    line.result(S_OK)
        .arg("state", status[0].dwServerState)
        .arg("groups", status[0].dwGroupCount)
        .arg("bandwidth", status[0].dwBandWidth)
        .arg("version", std::to_string(settings.major) + "." + std::to_string(settings.minor) +
                            "." + std::to_string(settings.build))
        .text("vendor", status[0].szVendorInfo);
    sim.journal().write(line);
    *ppServerStatus = status.release();
    return S_OK;
}

STDMETHODIMP OpcServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    const RefHold hold(static_cast<IOPCServer*>(this));
    Simulation::get().arrive("IOPCServer.RemoveGroup");
    JournalLine line("IOPCServer.RemoveGroup");
    line.arg("hServerGroup", hServerGroup).arg("force", bForce);
    auto it = groups_.find(hServerGroup);
    HRESULT hr = E_FAIL;
    if (it == groups_.end()) {
        hr = E_FAIL;
    } else {
        OpcGroup* group = it->second;
        groups_.erase(it);
        // Our own reference is the last one unless a client still holds the group.
        hr = group->refs() > 1 && !bForce ? OPC_S_INUSE : S_OK;
        group->detach();
        group->Release();
    }
    Simulation::get().journal().write(line.result(hr));
    return hr;
}

STDMETHODIMP OpcServer::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID, LPUNKNOWN* ppUnk) {
    if (ppUnk) {
        *ppUnk = nullptr;
    }
    Simulation::get().journal().write(
        JournalLine("IOPCServer.CreateGroupEnumerator").arg("scope", dwScope).result(E_NOTIMPL));
    return E_NOTIMPL;
}

STDMETHODIMP OpcServer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum) {
        *ppEnum = nullptr;
    }
    Simulation::get().journal().write(
        JournalLine("IConnectionPointContainer.EnumConnectionPoints").result(E_NOTIMPL));
    return E_NOTIMPL;
}

STDMETHODIMP OpcServer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    JournalLine line("IConnectionPointContainer.FindConnectionPoint");
    line.arg("iid", riid == IID_IOPCShutdown ? "IOPCShutdown" : "other");
    HRESULT hr = S_OK;
    if (!ppCP) {
        hr = E_POINTER;
    } else if (riid != IID_IOPCShutdown || Simulation::get().scenario().faults.noConnectionPoint) {
        *ppCP = nullptr;
        hr = CONNECT_E_NOCONNECTION;
    } else {
        *ppCP = &point_;
        point_.AddRef();
    }
    Simulation::get().journal().write(line.result(hr));
    return hr;
}

int OpcServer::requestShutdown(const std::wstring& reason) {
    AddRef();  // a sink may release us from inside its notification
    int sent = 0;
    std::map<DWORD, IOPCShutdown*> sinks = shutdownSinks_;
    for (auto& [cookie, sink] : sinks) {
        sink->AddRef();
        HRESULT hr = sink->ShutdownRequest(reason.c_str());
        sink->Release();
        Simulation::get().journal().write(JournalLine("Send.ShutdownRequest")
                                              .arg("cookie", cookie)
                                              .text("reason", reason.c_str())
                                              .result(hr));
        ++sent;
    }
    Release();
    return sent;
}

void OpcServer::disconnect() {
    for (auto& [handle, group] : groups_) {
        group->detach();
        CoDisconnectObject(static_cast<IOPCItemMgt*>(group), 0);
    }
    CoDisconnectObject(static_cast<IOPCServer*>(this), 0);
}

STDMETHODIMP OpcServer::ShutdownPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    const RefHold hold(static_cast<IOPCServer*>(&server_));
    Simulation::get().arrive("IOPCShutdown.Advise");
    JournalLine line("IConnectionPoint.Advise");
    HRESULT hr = S_OK;
    IOPCShutdown* sink = nullptr;
    if (!pUnkSink || !pdwCookie) {
        hr = E_POINTER;
    } else if (FAILED(
                   pUnkSink->QueryInterface(IID_IOPCShutdown, reinterpret_cast<void**>(&sink)))) {
        *pdwCookie = 0;
        hr = CONNECT_E_CANNOTCONNECT;
    } else {
        *pdwCookie = server_.nextCookie_++;
        server_.shutdownSinks_[*pdwCookie] = sink;
        line.result(hr).arg("cookie", *pdwCookie);
    }
    Simulation::get().journal().write(line.result(hr));
    return hr;
}

STDMETHODIMP OpcServer::ShutdownPoint::Unadvise(DWORD dwCookie) {
    const RefHold hold(static_cast<IOPCServer*>(&server_));
    Simulation::get().arrive("IOPCShutdown.Unadvise");
    auto it = server_.shutdownSinks_.find(dwCookie);
    HRESULT hr = CONNECT_E_NOCONNECTION;
    if (it != server_.shutdownSinks_.end()) {
        IOPCShutdown* sink = it->second;
        server_.shutdownSinks_.erase(it);
        sink->Release();
        hr = S_OK;
    }
    Simulation::get().journal().write(
        JournalLine("IConnectionPoint.Unadvise").arg("cookie", dwCookie).result(hr));
    return hr;
}

}  // namespace opcsim
