#include "items/DataChangeSink.h"

#include "opc/TopicGroup.h"

namespace korven {

DataChangeSink::DataChangeSink(TopicGroup* group)
    : group_(group), streamFormat_(RegisterClipboardFormatA("OPCSTMFORMATDATA")) {}

STDMETHODIMP DataChangeSink::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_INVALIDARG;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IAdviseSink)) {
        *object = static_cast<IAdviseSink*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) DataChangeSink::AddRef() {
    return static_cast<ULONG>(++refCount_);
}

STDMETHODIMP_(ULONG) DataChangeSink::Release() {
    const LONG count = --refCount_;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP_(void) DataChangeSink::OnDataChange(FORMATETC* format, STGMEDIUM* medium) {
    if (group_ == nullptr || format == nullptr || medium == nullptr) {
        return;
    }
    if (format->tymed != TYMED_HGLOBAL || medium->hGlobal == nullptr ||
        format->cfFormat != streamFormat_) {
        return;
    }
    // Decoding of the stream arrives with the OPC group connection.
}

}  // namespace korven
