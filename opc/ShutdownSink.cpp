#include "opc/ShutdownSink.h"

#include "opc/ServerSession.h"

namespace korven {

STDMETHODIMP ShutdownSink::ShutdownRequest(LPCWSTR reason) {
    if (session_ == nullptr) {
        return S_OK;
    }
    // The request may arrive while the session waits in one of its own calls
    // on the group: the release follows once that call has returned.
    try {
        session_->shutdownRequested(reason);
    } catch (...) {
        // Out of memory for the notice: nothing unwinds into the server's call.
    }
    return S_OK;
}

}  // namespace korven
