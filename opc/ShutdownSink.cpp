#include "opc/ShutdownSink.h"

#include "common/BridgeLock.h"
#include "common/ConsoleLog.h"
#include "opc/TopicGroup.h"

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
    BridgeLockHold hold;
    if (group_ == nullptr) {
        return S_OK;
    }
    try {
        logInfo(L"「" + group_->topicName.str() + L"」シャットダウン。(" +
                std::wstring(reason ? reason : L"") + L")");
        reason_ = SharedText::fromWide(reason);
    } catch (...) {
        reason_.reset();
    }
    // The request may arrive while the bridge waits in one of its own calls
    // on the group: the interfaces that call uses are released by the next
    // tick, not here.
    group_->releasePending = true;
    return S_OK;
}

}  // namespace korven
