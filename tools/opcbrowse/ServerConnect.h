#pragma once
// Makes the OPC server object of a ProgID, on this computer or on a node.
#include <windows.h>

#include "BrowseOptions.h"
#include "ComRef.h"
#include "OpcDa.h"

namespace opcbrowse {

struct ConnectResult {
    HRESULT hr = S_OK;
    const char* step = "";  // on failure: "progid" or "create"
};

// The ProgID is resolved on this computer (CLSIDFromString); the object is
// made with CoCreateInstanceEx as a local server, or as a remote server with
// the node in COSERVERINFO.
ConnectResult connectServer(const BrowseOptions& options, ComRef<IOPCServer>& server);

}  // namespace opcbrowse
