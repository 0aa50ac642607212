#pragma once
// Walks a server's address space from the root and writes one line per
// entry: the tree (BRANCH and LEAF lines, indented two spaces a level) or
// the flat list (ITEM lines). See README.md for the lines.
#include <windows.h>

#include <string>
#include <vector>

#include "OpcDa.h"

namespace opcbrowse {

class AddressWalk {
  public:
    // `properties` may be null: the lines then carry no type and access.
    AddressWalk(IOPCBrowseServerAddressSpace* browse, IOPCItemProperties* properties, bool flat)
        : browse_(browse), properties_(properties), flat_(flat) {}

    // Lists everything below the current position (a new server object's
    // is the root). False after a BROWSE FAIL line: the walk stops there.
    bool run(OPCNAMESPACETYPE organization);

    int branches() const { return branches_; }
    int items() const { return items_; }

  private:
    bool walk(int depth);
    bool listFlatSpace();
    bool names(OPCBROWSETYPE type, std::vector<std::wstring>& out);
    void writeItem(int depth, const std::wstring& name, const std::wstring& id);
    bool fail(const char* step, const std::wstring& name, HRESULT hr);

    IOPCBrowseServerAddressSpace* browse_;
    IOPCItemProperties* properties_;
    bool flat_;
    std::vector<std::wstring> position_;  // branch names from the root
    int branches_ = 0;
    int items_ = 0;
};

}  // namespace opcbrowse
