#pragma once
// The group's data-change callback: receives the OPC DA 1.0 stream
// ("OPCSTMFORMATDATA") from the server's IDataObject subscription, decodes
// each block and hands it to its session. It lives on the topic's server
// thread, where the server calls it; its reference count is not atomic.
#include <windows.h>
#include <objidl.h>

namespace korven {

class ServerSession;

class DataChangeSink : public IAdviseSink {
  public:
    explicit DataChangeSink(ServerSession* session);

    // The session is going away: later calls from the server find nothing.
    void detach() { session_ = nullptr; }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

  private:
    virtual ~DataChangeSink() = default;

    ServerSession* session_;
    LONG refCount_ = 0;
    UINT streamFormat_;
};

}  // namespace korven
