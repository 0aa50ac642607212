// The class object that COM asks for new simulation server objects.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace opcsim {

// {6E2B1F4A-93C4-4D8A-B1E7-3F5A0C9D2E61}
extern const CLSID CLSID_KorvenOpcSim;

class ClassFactory : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // static object
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;
};

}  // namespace opcsim
