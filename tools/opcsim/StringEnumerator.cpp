#include "StringEnumerator.h"

#include "ComGuards.h"
#include "Simulation.h"

namespace opcsim {

StringEnumerator::StringEnumerator(std::vector<std::wstring> texts, size_t next)
    : texts_(std::move(texts)), next_(next) {
    Simulation::get().objectCreated();
}

StringEnumerator::~StringEnumerator() {
    Simulation::get().objectDestroyed();
}

STDMETHODIMP StringEnumerator::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IEnumString) {
        *ppv = static_cast<IEnumString*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) StringEnumerator::AddRef() {
    return ++refs_;
}

STDMETHODIMP_(ULONG) StringEnumerator::Release() {
    const LONG left = --refs_;
    if (left == 0) {
        delete this;
    }
    return left;
}

STDMETHODIMP StringEnumerator::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) {
    if (!rgelt || (celt > 1 && !pceltFetched)) {
        return E_POINTER;
    }
    ULONG fetched = 0;
    while (fetched < celt && next_ < texts_.size()) {
        const std::wstring& text = texts_[next_];
        rgelt[fetched] = taskString(text.data(), text.size());
        if (!rgelt[fetched]) {
            for (ULONG i = 0; i < fetched; ++i) {
                CoTaskMemFree(rgelt[i]);
                rgelt[i] = nullptr;
            }
            if (pceltFetched) {
                *pceltFetched = 0;
            }
            return E_OUTOFMEMORY;
        }
        ++fetched;
        ++next_;
    }
    if (pceltFetched) {
        *pceltFetched = fetched;
    }
    return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP StringEnumerator::Skip(ULONG celt) {
    const size_t left = texts_.size() - next_;
    next_ += celt < left ? celt : left;
    return celt <= left ? S_OK : S_FALSE;
}

STDMETHODIMP StringEnumerator::Reset() {
    next_ = 0;
    return S_OK;
}

STDMETHODIMP StringEnumerator::Clone(IEnumString** ppenum) {
    if (!ppenum) {
        return E_POINTER;
    }
    *ppenum = new StringEnumerator(texts_, next_);
    return S_OK;
}

}  // namespace opcsim
