#include "AddressWalk.h"

#include "ComRef.h"
#include "EntryText.h"
#include "ItemDetails.h"
#include "OutputSink.h"
#include "TextEscape.h"

namespace opcbrowse {
namespace {

// The item ID GetItemID gives for a name at the current position.
HRESULT itemIdOf(IOPCBrowseServerAddressSpace* browse, const std::wstring& name, std::wstring& id) {
    LPWSTR text = nullptr;
    const HRESULT hr = browse->GetItemID(const_cast<LPWSTR>(name.c_str()), &text);
    if (SUCCEEDED(hr) && !text) {
        return E_POINTER;  // an answer without its string
    }
    if (SUCCEEDED(hr)) {
        id = text;
    }
    CoTaskMemFree(text);
    return hr;
}

}  // namespace

bool AddressWalk::run(OPCNAMESPACETYPE organization) {
    if (organization == OPC_NS_FLAT) {
        flat_ = true;  // its names are the whole list
        return listFlatSpace();
    }
    return walk(0);
}

bool AddressWalk::names(OPCBROWSETYPE type, std::vector<std::wstring>& out) {
    out.clear();
    ComRef<IEnumString> list;
    const HRESULT hr = browse_->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, list.out());
    if (FAILED(hr)) {
        return fail("BrowseOPCItemIDs", L"", hr);
    }
    if (!list) {
        return true;  // S_FALSE may come without an enumerator
    }
    while (true) {
        LPOLESTR chunk[32] = {};
        ULONG fetched = 0;
        const HRESULT next = list->Next(32, chunk, &fetched);
        if (FAILED(next)) {
            return fail("IEnumString.Next", L"", next);
        }
        for (ULONG i = 0; i < fetched && i < 32; ++i) {
            out.emplace_back(chunk[i] ? chunk[i] : L"");
            CoTaskMemFree(chunk[i]);
        }
        if (next != S_OK || fetched == 0) {
            return true;
        }
    }
}

bool AddressWalk::walk(int depth) {
    std::vector<std::wstring> branchNames;
    std::vector<std::wstring> leafNames;
    if (!names(OPC_BRANCH, branchNames) || !names(OPC_LEAF, leafNames)) {
        return false;
    }
    for (const std::wstring& name : branchNames) {
        if (!flat_) {
            ddetool::writeLine(std::string(static_cast<size_t>(depth) * 2, ' ') +
                               "BRANCH name=" + ddetool::fieldText(name));
        }
        ++branches_;
        HRESULT hr = browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, name.c_str());
        if (FAILED(hr)) {
            return fail("ChangeBrowsePosition", name, hr);
        }
        position_.push_back(name);
        if (!walk(depth + 1)) {
            return false;
        }
        position_.pop_back();
        hr = browse_->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
        if (FAILED(hr)) {
            return fail("ChangeBrowsePosition", L"", hr);
        }
    }
    for (const std::wstring& name : leafNames) {
        std::wstring id;
        const HRESULT hr = itemIdOf(browse_, name, id);
        if (FAILED(hr)) {
            return fail("GetItemID", name, hr);
        }
        writeItem(depth, name, id);
    }
    return true;
}

bool AddressWalk::listFlatSpace() {
    std::vector<std::wstring> itemNames;
    if (!names(OPC_FLAT, itemNames)) {
        return false;
    }
    for (const std::wstring& name : itemNames) {
        // A flat server that cannot convert its own names names items by their IDs.
        std::wstring id;
        if (FAILED(itemIdOf(browse_, name, id))) {
            id = name;
        }
        writeItem(0, name, id);
    }
    return true;
}

void AddressWalk::writeItem(int depth, const std::wstring& name, const std::wstring& id) {
    ++items_;
    std::string line = flat_ ? "ITEM id=" + ddetool::fieldText(id)
                             : std::string(static_cast<size_t>(depth) * 2, ' ') +
                                   "LEAF name=" + ddetool::fieldText(name) +
                                   " id=" + ddetool::fieldText(id);
    const ItemDetails details = readItemDetails(properties_, id);
    if (details.type) {
        line += " type=" + varTypeName(*details.type);
    }
    if (details.accessRights) {
        line += " access=" + accessRightsName(*details.accessRights);
    }
    ddetool::writeLine(line);
}

bool AddressWalk::fail(const char* step, const std::wstring& name, HRESULT hr) {
    std::wstring at;
    for (const std::wstring& branch : position_) {
        at += (at.empty() ? L"" : L"/") + branch;
    }
    std::string line = std::string("BROWSE FAIL step=") + step + " at=" + ddetool::fieldText(at);
    if (!name.empty()) {
        line += " name=" + ddetool::fieldText(name);
    }
    ddetool::writeLine(line + " hr=" + resultCode(hr) +
                       " text=" + ddetool::escape(ddetool::toUtf8(resultText(hr)), false));
    return false;
}

}  // namespace opcbrowse
