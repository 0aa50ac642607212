#pragma once
// The group's data-change callback: receives the OPC DA 1.0 stream
// ("OPCSTMFORMATDATA") from the server's IDataObject subscription, decodes
// each block and hands it to its session. It lives on the topic's server
// thread, where the server calls it.
#include <windows.h>
#include <objidl.h>

#include "opc/SessionCallback.h"

namespace korven {

class DataChangeSink : public SessionCallback<IAdviseSink, IID_IAdviseSink> {
  public:
    explicit DataChangeSink(ServerSession* session);

    STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

  private:
    UINT streamFormat_;
};

}  // namespace korven
