// The server object's address space and item properties: browsing from this
// object's position, item IDs of leaves, and properties 1 (canonical data
// type) and 5 (access rights) of every item.
#include "OpcServer.h"

#include "ComGuards.h"
#include "Simulation.h"
#include "StringEnumerator.h"
#include "ValueText.h"

namespace opcsim {
namespace {

constexpr const char* kBrowse = "IOPCBrowseServerAddressSpace.";
constexpr const char* kItemProperties = "IOPCItemProperties.";

std::string quotedList(const std::vector<std::wstring>& texts) {
    std::string out = "[";
    for (size_t i = 0; i < texts.size(); ++i) {
        out += (i ? "," : "") + quote(texts[i]);
    }
    return out + "]";
}

std::vector<std::string> numbers(const DWORD* values, DWORD count) {
    std::vector<std::string> out;
    for (DWORD i = 0; i < count; ++i) {
        out.push_back(std::to_string(values[i]));
    }
    return out;
}

struct PropertyInfo {
    DWORD id;
    const wchar_t* description;
    VARTYPE type;
};

constexpr PropertyInfo kPropertyTable[] = {
    {OPC_PROPERTY_DATATYPE, L"Item Canonical DataType", VT_I2},
    {OPC_PROPERTY_ACCESS_RIGHTS, L"Item Access Rights", VT_I4},
};

}  // namespace

STDMETHODIMP OpcServer::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
    JournalLine line(std::string(kBrowse) + "QueryOrganization");
    HRESULT hr = S_OK;
    if (!pNameSpaceType) {
        hr = E_INVALIDARG;
        line.result(hr);
    } else {
        *pNameSpaceType = OPC_NS_HIERARCHIAL;
        line.result(hr).arg("type", *pNameSpaceType);
    }
    Simulation::get().journal().write(line);
    return hr;
}

STDMETHODIMP OpcServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                             LPCWSTR szString) {
    JournalLine line(std::string(kBrowse) + "ChangeBrowsePosition");
    line.arg("direction", dwBrowseDirection).text("name", szString);
    HRESULT hr = S_OK;
    switch (dwBrowseDirection) {
        case OPC_BROWSE_UP:
            if (browsePosition_.empty()) {
                hr = E_FAIL;
            } else {
                browsePosition_.pop_back();
            }
            break;
        case OPC_BROWSE_DOWN: {
            std::vector<std::wstring> child = browsePosition_;
            child.emplace_back(szString ? szString : L"");
            if (!szString || !*szString || !space_.isBranch(child)) {
                hr = E_INVALIDARG;
            } else {
                browsePosition_ = std::move(child);
            }
            break;
        }
        case OPC_BROWSE_TO: {
            std::vector<std::wstring> target;
            if (szString && *szString) {
                target = splitItemId(szString);
            }
            if (!space_.isBranch(target)) {
                hr = E_INVALIDARG;
            } else {
                browsePosition_ = std::move(target);
            }
            break;
        }
        default:
            hr = E_INVALIDARG;
    }
    line.result(hr).text("position", qualifiedName(browsePosition_).c_str());
    Simulation::get().journal().write(line);
    return hr;
}

STDMETHODIMP OpcServer::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                         VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                         LPENUMSTRING* ppIEnumString) {
    JournalLine line(std::string(kBrowse) + "BrowseOPCItemIDs");
    line.arg("type", dwBrowseFilterType)
        .text("filter", szFilterCriteria)
        .arg("vt", vtDataTypeFilter)
        .arg("rights", dwAccessRightsFilter);
    auto finish = [&](HRESULT hr) {
        Simulation::get().journal().write(line.result(hr));
        return hr;
    };
    if (!ppIEnumString) {
        return finish(E_INVALIDARG);
    }
    *ppIEnumString = nullptr;
    const LeafFilter filter{szFilterCriteria ? szFilterCriteria : L"", vtDataTypeFilter,
                            dwAccessRightsFilter};
    std::vector<std::wstring> names;
    switch (dwBrowseFilterType) {
        case OPC_BRANCH:
            names = space_.branches(browsePosition_, filter.pattern);
            break;
        case OPC_LEAF:
            names = space_.leaves(browsePosition_, filter);
            break;
        case OPC_FLAT:
            names = space_.flat(browsePosition_, filter);
            break;
        default:
            return finish(E_INVALIDARG);
    }
    const HRESULT hr = names.empty() ? S_FALSE : S_OK;
    line.result(hr).arg("names", quotedList(names));
    *ppIEnumString = new StringEnumerator(std::move(names));
    Simulation::get().journal().write(line);
    return hr;
}

STDMETHODIMP OpcServer::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
    JournalLine line(std::string(kBrowse) + "GetItemID");
    line.text("name", szItemDataID);
    HRESULT hr = S_OK;
    std::optional<std::wstring> id;
    if (!szItemDataID || !szItemID) {
        hr = E_INVALIDARG;
    } else if (!(id = space_.itemId(browsePosition_, szItemDataID))) {
        hr = OPC_E_UNKNOWNITEMID;
    } else if (!(*szItemID = taskString(id->data(), id->size()))) {
        hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr) && szItemID) {
        *szItemID = nullptr;
    }
    line.result(hr);
    if (SUCCEEDED(hr)) {
        line.text("id", *szItemID);
    }
    Simulation::get().journal().write(line);
    return hr;
}

STDMETHODIMP OpcServer::BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) {
    if (ppIEnumString) {
        *ppIEnumString = nullptr;
    }
    Simulation::get().journal().write(JournalLine(std::string(kBrowse) + "BrowseAccessPaths")
                                          .text("id", szItemID)
                                          .result(E_NOTIMPL));
    return E_NOTIMPL;
}

STDMETHODIMP OpcServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                 DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                                 VARTYPE** ppvtDataTypes) {
    JournalLine line(std::string(kItemProperties) + "QueryAvailableProperties");
    line.text("id", szItemID);
    auto finish = [&](HRESULT hr) {
        Simulation::get().journal().write(line.result(hr));
        return hr;
    };
    if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) {
        return finish(E_INVALIDARG);
    }
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    if (!szItemID || !Simulation::get().find(szItemID)) {
        return finish(OPC_E_UNKNOWNITEMID);
    }
    constexpr DWORD count = std::size(kPropertyTable);
    TaskMem<DWORD> ids(count);
    TaskMem<LPWSTR> descriptions(count);
    TaskMem<VARTYPE> types(count);
    if (!ids.get() || !descriptions.get() || !types.get()) {
        return finish(E_OUTOFMEMORY);
    }
    for (DWORD i = 0; i < count; ++i) {
        const std::wstring_view text = kPropertyTable[i].description;
        ids[i] = kPropertyTable[i].id;
        types[i] = kPropertyTable[i].type;
        descriptions[i] = taskString(text.data(), text.size());
        if (!descriptions[i]) {
            for (DWORD j = 0; j < i; ++j) {
                CoTaskMemFree(descriptions[j]);
            }
            return finish(E_OUTOFMEMORY);
        }
    }
    line.result(S_OK).list("ids", numbers(ids.get(), count));
    Simulation::get().journal().write(line);
    *pdwCount = count;
    *ppPropertyIDs = ids.release();
    *ppDescriptions = descriptions.release();
    *ppvtDataTypes = types.release();
    return S_OK;
}

STDMETHODIMP OpcServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                          VARIANT** ppvData, HRESULT** ppErrors) {
    JournalLine line(std::string(kItemProperties) + "GetItemProperties");
    line.text("id", szItemID);
    if (pdwPropertyIDs) {
        line.list("ids", numbers(pdwPropertyIDs, dwCount));
    }
    auto finish = [&](HRESULT hr) {
        Simulation::get().journal().write(line.result(hr));
        return hr;
    };
    if (!ppvData || !ppErrors || dwCount == 0 || !pdwPropertyIDs) {
        return finish(E_INVALIDARG);
    }
    *ppvData = nullptr;
    *ppErrors = nullptr;
    const DeviceItem* item = szItemID ? Simulation::get().find(szItemID) : nullptr;
    if (!item) {
        return finish(OPC_E_UNKNOWNITEMID);
    }
    TaskMem<VARIANT> values(dwCount);  // zeroed: VT_EMPTY
    TaskMem<HRESULT> errors(dwCount);
    if (!values.get() || !errors.get()) {
        return finish(E_OUTOFMEMORY);
    }
    HRESULT hr = S_OK;
    std::vector<std::string> rendered;
    std::vector<std::string> codes;
    for (DWORD i = 0; i < dwCount; ++i) {
        if (pdwPropertyIDs[i] == OPC_PROPERTY_DATATYPE) {
            values[i].vt = VT_I2;
            values[i].iVal = static_cast<SHORT>(item->spec->type);
        } else if (pdwPropertyIDs[i] == OPC_PROPERTY_ACCESS_RIGHTS) {
            values[i].vt = VT_I4;
            values[i].lVal = static_cast<LONG>(kItemAccessRights);
        } else {
            errors[i] = OPC_E_INVALID_PID;
            hr = S_FALSE;
        }
        rendered.push_back(formatValue(values[i]));
        codes.push_back(hex32(static_cast<uint32_t>(errors[i])));
    }
    line.result(hr).list("values", rendered).list("errors", codes);
    Simulation::get().journal().write(line);
    *ppvData = values.release();
    *ppErrors = errors.release();
    return hr;
}

STDMETHODIMP OpcServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                      LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
    if (ppszNewItemIDs) {
        *ppszNewItemIDs = nullptr;
    }
    if (ppErrors) {
        *ppErrors = nullptr;
    }
    JournalLine line(std::string(kItemProperties) + "LookupItemIDs");
    line.text("id", szItemID);
    if (pdwPropertyIDs) {
        line.list("ids", numbers(pdwPropertyIDs, dwCount));
    }
    Simulation::get().journal().write(line.result(E_NOTIMPL));
    return E_NOTIMPL;
}

}  // namespace opcsim
