// A connection point that lives inside the object whose connection point
// container it belongs to, and shares that object's reference count: the
// parts every such point has. Advise and Unadvise are the owner's own.
#pragma once

#include <windows.h>
#include <ocidl.h>

namespace opcsim {

template <class Owner>
class EmbeddedConnectionPoint : public IConnectionPoint {
  public:
    EmbeddedConnectionPoint(Owner& owner, REFIID iid) : owner_(owner), iid_(iid) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
            *ppv = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }
    STDMETHODIMP GetConnectionInterface(IID* pIID) override {
        if (!pIID) {
            return E_POINTER;
        }
        *pIID = iid_;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
        if (!ppCPC) {
            return E_POINTER;
        }
        *ppCPC = static_cast<IConnectionPointContainer*>(&owner_);
        owner_.AddRef();
        return S_OK;
    }
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override {
        if (ppEnum) {
            *ppEnum = nullptr;
        }
        return E_NOTIMPL;
    }

  protected:
    Owner& owner_;

  private:
    IID iid_;
};

}  // namespace opcsim
