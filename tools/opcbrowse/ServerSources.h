#pragma once
// The two places a list of OPC servers comes from: this computer's component
// category manager, or the OPC server enumerator (OpcEnum) of another
// computer. Both belong to the tool's one thread.
#include <windows.h>
#include <comcat.h>

#include <string>

#include "ComRef.h"
#include "OpcEnum.h"
#include "ServerCatalog.h"

namespace opcbrowse {

// This computer: the system's category manager (ICatInformation), then
// ProgIDFromCLSID and the class's registered name.
class CategoryManagerSource : public ServerSource {
  public:
    HRESULT open();
    HRESULT classesOf(const CATID& category, IEnumGUID** classes) override;
    void describe(const CLSID& clsid, ServerEntry& entry) override;

  private:
    ComRef<ICatInformation> categories_;
};

// Another computer: its OpcEnum object, made there with CoCreateInstanceEx
// and the node in COSERVERINFO; IOPCServerList gives the classes and their
// ProgIDs and names as that computer registers them.
class OpcEnumSource : public ServerSource {
  public:
    HRESULT open(const std::wstring& node);
    HRESULT classesOf(const CATID& category, IEnumGUID** classes) override;
    void describe(const CLSID& clsid, ServerEntry& entry) override;

  private:
    ComRef<IOPCServerList> list_;
};

}  // namespace opcbrowse
