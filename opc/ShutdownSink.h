#pragma once
// The server's shutdown callback: the server announces that it is going down.
// It lives on the topic's server thread, where the server calls it; its
// reference count is not atomic.
#include <windows.h>

#include "OpcDa.h"

namespace korven {

class ServerSession;

class ShutdownSink : public IOPCShutdown {
  public:
    explicit ShutdownSink(ServerSession* session) : session_(session) {}

    // The session is going away: a later request from the server finds nothing.
    void detach() { session_ = nullptr; }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override;

  private:
    virtual ~ShutdownSink() = default;

    LONG refCount_ = 0;
    ServerSession* session_;
};

}  // namespace korven
