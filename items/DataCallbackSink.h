#pragma once
// The group's OPC DA 2.0 data callback (IOPCDataCallback), for servers that
// offer no 1.0 stream: the server calls it through the group's connection
// point with the changed items' values. Each call's values are copied into
// the same records the stream decodes to, handed to the session and the call
// returns at once: the arrays are the server's. It lives on the topic's
// server thread, where the server calls it.
#include <windows.h>

#include "OpcDa.h"
#include "items/DataChangeStream.h"
#include "opc/SessionCallback.h"

namespace korven {

class DataCallbackSink : public SessionCallback<IOPCDataCallback, IID_IOPCDataCallback> {
  public:
    using SessionCallback::SessionCallback;
    // The group's client handle: a call naming another group is not this
    // group's.
    void setGroup(OPCHANDLE clientGroupHandle) { group_ = clientGroupHandle; }

    STDMETHODIMP OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT masterQuality,
                              HRESULT masterError, DWORD count, OPCHANDLE* clientHandles,
                              VARIANT* values, WORD* qualities, FILETIME* timeStamps,
                              HRESULT* errors) override;
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                WORD*, FILETIME*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

  private:
    OPCHANDLE group_ = 0;
};

// The items of one callback, as the stream's decoder gives them: plain values,
// texts, arrays' elements, every other type by its type word alone; an item
// whose error entry is a failure carries the error and no value. Reads only
// what `count` says each array holds.
DataChangeBlock callbackBlock(DWORD count, const OPCHANDLE* clientHandles, const VARIANT* values,
                              const WORD* qualities, const HRESULT* errors);

}  // namespace korven
