// A group of the simulation server: IOPCItemMgt, IOPCGroupStateMgt,
// IOPCSyncIO, and as the scenario's dataAccess says the 1.0 path
// (IOPCAsyncIO and IDataObject, the "OPCSTMFORMATDATA" stream), the 2.0 path
// (IConnectionPointContainer with one IOPCDataCallback connection and
// IOPCAsyncIO2; GroupDataCallback.cpp) or both.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <map>
#include <string>

#include "EmbeddedConnectionPoint.h"
#include "OpcDa.h"

namespace opcsim {

struct GroupItem {
    std::wstring id;
    OPCHANDLE hClient = 0;
    bool active = true;
    unsigned long long sentVersion = 0;  // device version last sent; 0 = never
};

class OpcGroup : public IOPCItemMgt,
                 public IOPCGroupStateMgt,
                 public IOPCSyncIO,
                 public IOPCAsyncIO,
                 public IDataObject,
                 public IConnectionPointContainer,
                 public IOPCAsyncIO2 {
  public:
    OpcGroup(std::wstring name, OPCHANDLE hServerGroup, OPCHANDLE hClientGroup, BOOL active,
             DWORD rate, LONG timeBias, FLOAT deadband, DWORD lcid);

    const std::wstring& name() const { return name_; }
    LONG refs() const { return refs_; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOPCItemMgt
    STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                          HRESULT** ppErrors) override;
    STDMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                               OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                HRESULT** ppErrors) override;
    STDMETHODIMP SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                  HRESULT** ppErrors) override;
    STDMETHODIMP SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                              HRESULT** ppErrors) override;
    STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                          OPCHANDLE* phServerGroup) override;
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                          OPCHANDLE* phClientGroup) override;
    STDMETHODIMP SetName(LPCWSTR szName) override;
    STDMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCSyncIO
    STDMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                      OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       HRESULT** ppErrors) override;

    // IOPCAsyncIO
    STDMETHODIMP Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount,
                      OPCHANDLE* phServer, DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh(DWORD dwConnection, OPCDATASOURCE dwSource,
                         DWORD* pTransactionID) override;
    STDMETHODIMP Cancel(DWORD dwTransactionID) override;

    // IDataObject
    STDMETHODIMP GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
    STDMETHODIMP GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override;
    STDMETHODIMP QueryGetData(FORMATETC* pformatetc) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override;
    STDMETHODIMP SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override;
    STDMETHODIMP EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override;
    STDMETHODIMP DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                         DWORD* pdwConnection) override;
    STDMETHODIMP DUnadvise(DWORD dwConnection) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override;

    // IConnectionPointContainer (GroupDataCallback.cpp)
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // IOPCAsyncIO2 (GroupDataCallback.cpp)
    STDMETHODIMP Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                          DWORD* pdwCancelID) override;
    STDMETHODIMP Cancel2(DWORD dwCancelID) override;
    STDMETHODIMP SetEnable(BOOL bEnable) override;
    STDMETHODIMP GetEnable(BOOL* pbEnable) override;

    // The server removed the group: it sends nothing more.
    void detach();

  private:
    virtual ~OpcGroup();

    // The IOPCDataCallback connection point (GroupDataCallback.cpp); it lives
    // inside the group and shares its reference count.
    class CallbackPoint : public EmbeddedConnectionPoint<OpcGroup> {
      public:
        explicit CallbackPoint(OpcGroup& group)
            : EmbeddedConnectionPoint(group, IID_IOPCDataCallback), group_(group) {}
        STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
        STDMETHODIMP Unadvise(DWORD dwCookie) override;

      private:
        OpcGroup& group_;
    };

    // Who gets a send: every subscriber (an update), the stream sinks (all,
    // or the one connection named), the callback connection.
    struct Audience {
        bool streams = true;
        DWORD onlyConnection = 0;
        bool callback = true;
    };

    void restartTimer();
    void onUpdate();
    // Sends the group's active items (all of them, or only those changed
    // since they were last sent) to the audience. A callback with no item
    // goes only as the answer to a Refresh2 (transactionId not 0).
    void send(bool all, DWORD transactionId, Audience to);

    LONG refs_ = 0;
    std::wstring name_;
    OPCHANDLE hServerGroup_;
    OPCHANDLE hClientGroup_;
    BOOL active_;
    DWORD rate_;
    LONG timeBias_;
    FLOAT deadband_;
    DWORD lcid_;
    bool detached_ = false;
    unsigned long serial_;
    std::map<OPCHANDLE, GroupItem> items_;
    OPCHANDLE nextItemHandle_ = 1;
    std::map<DWORD, IAdviseSink*> sinks_;  // one reference each
    DWORD nextConnection_ = 1;
    DWORD nextTransaction_ = 1;
    CallbackPoint point_{*this};
    IOPCDataCallback* callback_ = nullptr;  // one reference; a group has one connection
    DWORD callbackCookie_ = 0;
    DWORD nextCookie_ = 1;
    DWORD nextCancelId_ = 1;
};

}  // namespace opcsim
