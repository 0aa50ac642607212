// The 2.0 data path of a group: the IOPCDataCallback connection point (one
// connection; its first call carries every active item) and IOPCAsyncIO2
// (Refresh2 answered through the callback).
#include <olectl.h>

#include "ComGuards.h"
#include "OpcGroup.h"
#include "Simulation.h"

namespace opcsim {
namespace {

constexpr char kPoint[] = "IOPCDataCallback";

HRESULT notImplemented(const char* call) {
    Simulation::get().journal().write(JournalLine(call).result(E_NOTIMPL));
    return E_NOTIMPL;
}

}  // namespace

STDMETHODIMP OpcGroup::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum) {
        *ppEnum = nullptr;
    }
    Simulation::get().journal().write(JournalLine("IConnectionPointContainer.EnumConnectionPoints")
                                          .arg("point", kPoint)
                                          .result(E_NOTIMPL));
    return E_NOTIMPL;
}

STDMETHODIMP OpcGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    JournalLine line("IConnectionPointContainer.FindConnectionPoint");
    line.arg("point", kPoint).arg("iid", riid == IID_IOPCDataCallback ? kPoint : "other");
    HRESULT hr = S_OK;
    if (!ppCP) {
        hr = E_POINTER;
    } else if (riid != IID_IOPCDataCallback) {
        *ppCP = nullptr;
        hr = CONNECT_E_NOCONNECTION;
    } else {
        *ppCP = &point_;
        point_.AddRef();
    }
    Simulation::get().journal().write(line.result(hr));
    return hr;
}

STDMETHODIMP OpcGroup::CallbackPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCItemMgt*>(&group_));
    sim.arrive("IOPCDataCallback.Advise");
    JournalLine line("IConnectionPoint.Advise");
    line.arg("point", kPoint);
    HRESULT hr = S_OK;
    IOPCDataCallback* sink = nullptr;
    if (!pUnkSink || !pdwCookie) {
        hr = E_POINTER;
    } else if (group_.callback_) {
        *pdwCookie = 0;
        hr = CONNECT_E_ADVISELIMIT;
    } else if (FAILED(pUnkSink->QueryInterface(IID_IOPCDataCallback,
                                               reinterpret_cast<void**>(&sink)))) {
        *pdwCookie = 0;
        hr = CONNECT_E_CANNOTCONNECT;
    } else if (group_.callback_) {
        // Another Advise won while the sink was asked (calls nest in the loop).
        sink->Release();
        *pdwCookie = 0;
        hr = CONNECT_E_ADVISELIMIT;
    } else {
        const DWORD cookie = group_.nextCookie_++;
        group_.callback_ = sink;
        group_.callbackCookie_ = cookie;
        *pdwCookie = cookie;
        line.result(hr).arg("cookie", cookie);
        // The current values follow once this call has returned.
        OpcGroup* group = &group_;
        group->AddRef();
        sim.post([group, cookie] {
            if (group->callbackCookie_ == cookie) {
                group->send(true, 0, Audience{false, 0, true});
            }
            group->Release();
        });
    }
    sim.journal().write(line.result(hr));
    return hr;
}

STDMETHODIMP OpcGroup::CallbackPoint::Unadvise(DWORD dwCookie) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCItemMgt*>(&group_));
    sim.arrive("IOPCDataCallback.Unadvise");
    HRESULT hr = CONNECT_E_NOCONNECTION;
    if (group_.callback_ && dwCookie == group_.callbackCookie_) {
        IOPCDataCallback* sink = group_.callback_;
        group_.callback_ = nullptr;
        group_.callbackCookie_ = 0;
        sink->Release();
        hr = S_OK;
    }
    sim.journal().write(JournalLine("IConnectionPoint.Unadvise")
                            .arg("point", kPoint)
                            .arg("cookie", dwCookie)
                            .result(hr));
    return hr;
}

STDMETHODIMP OpcGroup::Read(DWORD, OPCHANDLE*, DWORD, DWORD* pdwCancelID, HRESULT** ppErrors) {
    if (pdwCancelID) {
        *pdwCancelID = 0;
    }
    if (ppErrors) {
        *ppErrors = nullptr;
    }
    return notImplemented("IOPCAsyncIO2.Read");
}

STDMETHODIMP OpcGroup::Write(DWORD, OPCHANDLE*, VARIANT*, DWORD, DWORD* pdwCancelID,
                             HRESULT** ppErrors) {
    if (pdwCancelID) {
        *pdwCancelID = 0;
    }
    if (ppErrors) {
        *ppErrors = nullptr;
    }
    return notImplemented("IOPCAsyncIO2.Write");
}

STDMETHODIMP OpcGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) {
    Simulation& sim = Simulation::get();
    const RefHold hold(static_cast<IOPCItemMgt*>(this));
    sim.arrive("IOPCAsyncIO2.Refresh2");
    JournalLine line("IOPCAsyncIO2.Refresh2");
    line.arg("source", dwSource).arg("transaction", dwTransactionID);
    HRESULT hr = S_OK;
    if (!pdwCancelID) {
        hr = E_INVALIDARG;
    } else if (!callback_) {
        *pdwCancelID = 0;
        hr = CONNECT_E_NOCONNECTION;
    } else if (!active_) {
        *pdwCancelID = 0;
        hr = E_FAIL;
    } else {
        const DWORD cancelId = nextCancelId_++;
        *pdwCancelID = cancelId;
        line.result(hr).arg("cancelId", cancelId);
        // Answered from the message loop, once this call has returned.
        AddRef();
        sim.post([this, dwTransactionID] {
            send(true, dwTransactionID, Audience{false, 0, true});
            Release();
        });
    }
    sim.journal().write(line.result(hr));
    return hr;
}

STDMETHODIMP OpcGroup::Cancel2(DWORD dwCancelID) {
    Simulation::get().journal().write(
        JournalLine("IOPCAsyncIO2.Cancel2").arg("cancelId", dwCancelID).result(E_NOTIMPL));
    return E_NOTIMPL;
}

STDMETHODIMP OpcGroup::SetEnable(BOOL bEnable) {
    Simulation::get().journal().write(
        JournalLine("IOPCAsyncIO2.SetEnable").arg("enable", bEnable).result(E_NOTIMPL));
    return E_NOTIMPL;
}

STDMETHODIMP OpcGroup::GetEnable(BOOL* pbEnable) {
    if (pbEnable) {
        *pbEnable = TRUE;
    }
    return notImplemented("IOPCAsyncIO2.GetEnable");
}

}  // namespace opcsim
