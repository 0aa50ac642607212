// The simulation's OPC server object: IOPCServer, IConnectionPointContainer
// with one connection point for IOPCShutdown, IOPCBrowseServerAddressSpace
// (with this object's browse position) and IOPCItemProperties.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <map>
#include <string>
#include <vector>

#include "AddressSpace.h"
#include "EmbeddedConnectionPoint.h"
#include "OpcDa.h"

namespace opcsim {

class OpcGroup;

class OpcServer : public IOPCServer,
                  public IConnectionPointContainer,
                  public IOPCBrowseServerAddressSpace,
                  public IOPCItemProperties {
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

    // IOPCBrowseServerAddressSpace (ServerBrowsing.cpp)
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                      LPCWSTR szString) override;
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                  VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                  LPENUMSTRING* ppIEnumString) override;
    STDMETHODIMP GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    STDMETHODIMP BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) override;

    // IOPCItemProperties (ServerBrowsing.cpp)
    STDMETHODIMP QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                          LPWSTR** ppDescriptions,
                                          VARTYPE** ppvtDataTypes) override;
    STDMETHODIMP GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                   VARIANT** ppvData, HRESULT** ppErrors) override;
    STDMETHODIMP LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                               LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;

    // Sends ShutdownRequest to every advised client; returns how many.
    int requestShutdown(const std::wstring& reason);
    // Cuts every client off (the exit command).
    void disconnect();

  private:
    virtual ~OpcServer();

    // The IOPCShutdown connection point; it lives inside the server and
    // shares its reference count.
    class ShutdownPoint : public EmbeddedConnectionPoint<OpcServer> {
      public:
        explicit ShutdownPoint(OpcServer& server)
            : EmbeddedConnectionPoint(server, IID_IOPCShutdown), server_(server) {}
        STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
        STDMETHODIMP Unadvise(DWORD dwCookie) override;

      private:
        OpcServer& server_;
    };

    LONG refs_ = 0;
    ShutdownPoint point_{*this};
    std::map<DWORD, IOPCShutdown*> shutdownSinks_;
    DWORD nextCookie_ = 1;
    std::map<OPCHANDLE, OpcGroup*> groups_;  // one reference each
    OPCHANDLE nextGroupHandle_ = 1;
    AddressSpace space_;
    std::vector<std::wstring> browsePosition_;  // branch names from the root
};

}  // namespace opcsim
