// The class object that COM asks for new simulation server objects (of
// whichever class of ServerClass.h the process serves: they behave alike).
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace opcsim {

class ClassFactory : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // static object
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;
};

}  // namespace opcsim
