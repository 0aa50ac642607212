// IEnumString over a fixed list of texts: what BrowseOPCItemIDs hands out.
// Each enumerator counts as a live object of the server process.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <string>
#include <vector>

namespace opcsim {

class StringEnumerator : public IEnumString {
  public:
    explicit StringEnumerator(std::vector<std::wstring> texts, size_t next = 0);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumString** ppenum) override;

  private:
    virtual ~StringEnumerator();

    LONG refs_ = 1;
    std::vector<std::wstring> texts_;
    size_t next_;
};

}  // namespace opcsim
