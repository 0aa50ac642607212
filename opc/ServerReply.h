#pragma once
// What a topic's server thread answers to the main thread's requests, and what
// it reports of its own accord (values, a shutdown request, a lost server):
// plain records that pass through the topic's channel (TopicChannel). Nothing
// in them points into memory of either side; texts are copied.
#include <windows.h>

#include <string>
#include <variant>
#include <vector>

#include "OpcDa.h"
#include "items/DataChangeStream.h"
#include "opc/ServerRequest.h"

namespace korven {

namespace reply {

struct Connected {
    OPCHANDLE serverGroupHandle = 0;
    DWORD revisedRate = 0;
    bool callbacks = false;  // values come through the 2.0 callbacks
};

struct ConnectFailed {
    HRESULT hr = E_FAIL;
};

struct ItemResult {
    OPCHANDLE clientHandle = 0;
    HRESULT error = S_OK;
    OPCHANDLE serverHandle = 0;
};

struct ItemsSynced {
    bool reachedServer = false;       // false: no group to call (released meanwhile)
    bool addAccepted = false;         // AddItems answered S_OK/S_FALSE with both arrays
    std::vector<ItemResult> results;  // the add batch, in its order
};

struct Status {
    bool statusRead = false;
    OPCSERVERSTATUS status{};  // its vendor pointer null: the text is `vendor`
    bool vendorPresent = false;
    std::wstring vendor;
    bool stateRead = false;
    GroupParameters group;
    OPCHANDLE serverGroupHandle = 0;
    bool namePresent = false;
    std::wstring name;
};

struct StateSet {
    bool reachedServer = false;
    HRESULT hr = S_OK;
    DWORD revisedRate = 0;
};

struct Refreshed {};
struct Closed {};

// One data-change block, decoded where it arrived.
struct Values {
    DataChangeBlock block;
};

// The server announced that it is going down; the release follows
// (Released) once the call that was out, if any, has returned.
struct ShutdownRequested {
    bool reasonPresent = false;
    std::wstring reason;
};

struct Released {};

// A call ended with a code that says the server is gone: everything is
// released without further calls on it.
struct Lost {
    HRESULT hr = S_OK;
};

}  // namespace reply

using ServerReply =
    std::variant<reply::Connected, reply::ConnectFailed, reply::ItemsSynced, reply::Status,
                 reply::StateSet, reply::Refreshed, reply::Closed, reply::Values,
                 reply::ShutdownRequested, reply::Released, reply::Lost>;

// True for the replies that complete a request (one for each request).
bool completesRequest(const ServerReply& reply);

// The reply that completes a request whose handling failed with `hr`.
ServerReply failureReply(const ServerRequest& request, HRESULT hr);

}  // namespace korven
