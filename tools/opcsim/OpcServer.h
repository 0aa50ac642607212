// The simulation's OPC server object: IOPCServer, and IConnectionPointContainer
// with one connection point for IOPCShutdown.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <map>
#include <string>

#include "OpcDa.h"

namespace opcsim {

class OpcGroup;

class OpcServer : public IOPCServer, public IConnectionPointContainer {
  public:
    OpcServer();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                          OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                          DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                          REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    STDMETHODIMP GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                       LPUNKNOWN* ppUnk) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // Sends ShutdownRequest to every advised client; returns how many.
    int requestShutdown(const std::wstring& reason);
    // Cuts every client off (the exit command).
    void disconnect();

  private:
    virtual ~OpcServer();

    // The IOPCShutdown connection point; it lives inside the server and
    // shares its reference count.
    class ShutdownPoint : public IConnectionPoint {
      public:
        explicit ShutdownPoint(OpcServer& server) : server_(server) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
        STDMETHODIMP_(ULONG) AddRef() override { return server_.AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return server_.Release(); }
        STDMETHODIMP GetConnectionInterface(IID* pIID) override;
        STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
        STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
        STDMETHODIMP Unadvise(DWORD dwCookie) override;
        STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

      private:
        OpcServer& server_;
    };

    LONG refs_ = 0;
    ShutdownPoint point_{*this};
    std::map<DWORD, IOPCShutdown*> shutdownSinks_;
    DWORD nextCookie_ = 1;
    std::map<OPCHANDLE, OpcGroup*> groups_;  // one reference each
    OPCHANDLE nextGroupHandle_ = 1;
};

}  // namespace opcsim
