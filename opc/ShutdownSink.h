#pragma once
// The server's shutdown callback: the server announces that it is going down.
// It lives on the topic's server thread, where the server calls it.
#include <windows.h>

#include "OpcDa.h"
#include "opc/SessionCallback.h"

namespace korven {

class ShutdownSink : public SessionCallback<IOPCShutdown, IID_IOPCShutdown> {
  public:
    using SessionCallback::SessionCallback;

    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override;
};

}  // namespace korven
