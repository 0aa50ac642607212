// The server's side of IOPCDataCallback::OnDataChange: the arguments of one
// call (client handles, values, qualities, time stamps, errors and the two
// master results) made from the items a group sends.
#pragma once

#include <windows.h>

#include <vector>

#include "Journal.h"
#include "OpcDa.h"

namespace opcsim {

struct CallbackItem {
    OPCHANDLE hClient = 0;
    const VARIANT* value = nullptr;  // null: VT_EMPTY
    WORD quality = 0;
    FILETIME stamp{};
    HRESULT error = S_OK;  // a failure travels with VT_EMPTY
};

// S_OK when every item is of good quality, else S_FALSE.
HRESULT masterQualityOf(const std::vector<CallbackItem>& items);
// S_OK when every item's error is S_OK, else S_FALSE.
HRESULT masterErrorOf(const std::vector<CallbackItem>& items);

// Calls OnDataChange with arrays of the server's own, freed once it has
// returned, and journals the call:
//   Send.IOPCDataCallback.OnDataChange transaction=T hGroup=G masterQuality=0x..
//     masterError=0x.. items=[hClient:TYPE:value:0xQQQQ:0xEEEEEEEE,...] -> <client's result>
// Returns the client's result.
HRESULT sendDataChange(IOPCDataCallback* sink, DWORD transactionId, OPCHANDLE hGroup,
                       const std::vector<CallbackItem>& items, Journal& journal);

}  // namespace opcsim
