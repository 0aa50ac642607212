#include "opc/ShutdownSink.h"

#include "opc/ServerSession.h"

namespace korven {

STDMETHODIMP ShutdownSink::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_INVALIDARG;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCShutdown)) {
        *object = static_cast<IOPCShutdown*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ShutdownSink::AddRef() {
    return static_cast<ULONG>(++refCount_);
}

STDMETHODIMP_(ULONG) ShutdownSink::Release() {
    const LONG count = --refCount_;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP ShutdownSink::ShutdownRequest(LPCWSTR reason) {
    if (session_ == nullptr) {
        return S_OK;
    }
    // The request may arrive while the session waits in one of its own calls
    // on the group: the release follows once that call has returned.
    try {
        session_->shutdownRequested(reason);
    } catch (...) {
        // Out of memory for the notice: nothing unwinds into the server's call.
    }
    return S_OK;
}

}  // namespace korven
