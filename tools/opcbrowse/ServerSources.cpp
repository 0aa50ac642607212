#include "ServerSources.h"

#include <objbase.h>
#include <ole2.h>

#include "TaskText.h"

namespace opcbrowse {
namespace {

// The class "OpcEnum" (ProgID OPC.ServerList.1) of the OPC core components.
const CLSID kOpcEnumClass = {
    0x13486D51, 0x4821, 0x11D2, {0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1, 0x00, 0x00}};

// The category goes in as the implemented list and as the list of categories
// the caller accepts as required: classes of the category that require none or
// only it. The required list is never empty because a top-level array is a
// reference pointer in a marshalled call (OpcEnum's), which must not be null.
template <class Catalog>
HRESULT enumClasses(Catalog* catalog, const CATID& category, IEnumGUID** classes) {
    CATID implemented = category;
    CATID required = category;
    return catalog->EnumClassesOfCategories(1, &implemented, 1, &required, classes);
}

}  // namespace

HRESULT CategoryManagerSource::open() {
    return CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                            IID_ICatInformation, categories_.outVoid());
}

HRESULT CategoryManagerSource::classesOf(const CATID& category, IEnumGUID** classes) {
    return enumClasses(categories_.get(), category, classes);
}

void CategoryManagerSource::describe(const CLSID& clsid, ServerEntry& entry) {
    TaskText progId;
    if (SUCCEEDED(ProgIDFromCLSID(clsid, progId.out()))) {
        entry.progId = progId.text();
    }
    TaskText name;
    if (SUCCEEDED(OleRegGetUserType(clsid, USERCLASSTYPE_FULL, name.out()))) {
        entry.description = name.text();
    }
}

HRESULT OpcEnumSource::open(const std::wstring& node) {
    COSERVERINFO serverInfo{};
    serverInfo.pwszName = const_cast<LPWSTR>(node.c_str());
    const IID listId = __uuidof(IOPCServerList);
    MULTI_QI query{&listId, nullptr, S_OK};
    HRESULT hr =
        CoCreateInstanceEx(kOpcEnumClass, nullptr, CLSCTX_REMOTE_SERVER, &serverInfo, 1, &query);
    if (SUCCEEDED(hr) && !query.pItf) {
        hr = FAILED(query.hr) ? query.hr : E_NOINTERFACE;
    }
    if (FAILED(hr)) {
        if (query.pItf) {
            query.pItf->Release();
        }
        return hr;
    }
    *list_.out() = static_cast<IOPCServerList*>(query.pItf);
    return S_OK;
}

HRESULT OpcEnumSource::classesOf(const CATID& category, IEnumGUID** classes) {
    return enumClasses(list_.get(), category, classes);
}

void OpcEnumSource::describe(const CLSID& clsid, ServerEntry& entry) {
    TaskText progId;
    TaskText name;
    if (SUCCEEDED(list_->GetClassDetails(clsid, progId.out(), name.out()))) {
        entry.progId = progId.text();
        entry.description = name.text();
    }
}

}  // namespace opcbrowse
