#pragma once
// What the session's callback objects share: a COM object of one callback
// interface, reference-counted by hand, pointing back to its session without
// a reference. It lives on the topic's server thread, where the server calls
// it; its reference count is not atomic.
#include <windows.h>
#include <unknwn.h>

namespace korven {

class ServerSession;

template <class Interface, const IID& kInterfaceId>
class SessionCallback : public Interface {
  public:
    explicit SessionCallback(ServerSession* session) : session_(session) {}
    SessionCallback(const SessionCallback&) = delete;
    SessionCallback& operator=(const SessionCallback&) = delete;

    // The session is going away: later calls from the server find nothing.
    void detach() { session_ = nullptr; }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_INVALIDARG;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, kInterfaceId)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refCount_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = --refCount_;
        if (count == 0) {
            delete this;
        }
        return static_cast<ULONG>(count);
    }

  protected:
    virtual ~SessionCallback() = default;

    ServerSession* session_;

  private:
    LONG refCount_ = 0;
};

}  // namespace korven
