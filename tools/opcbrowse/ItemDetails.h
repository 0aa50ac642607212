#pragma once
// What IOPCItemProperties tells of an item: property 1 (its canonical data
// type) and property 5 (its access rights), each only if the server gives it.
#include <windows.h>

#include <optional>
#include <string>

#include "OpcDa.h"

namespace opcbrowse {

struct ItemDetails {
    std::optional<VARTYPE> type;
    std::optional<DWORD> accessRights;
};

// One GetItemProperties call; a failed call or property leaves its field out.
ItemDetails readItemDetails(IOPCItemProperties* properties, const std::wstring& itemId);

}  // namespace opcbrowse
