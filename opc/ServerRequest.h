#pragma once
// What a topic's main thread asks of the topic's server thread, and what the
// server thread answers or reports of its own accord: plain records that pass
// between the two threads through the topic's channel (TopicChannel). Nothing
// in them points into memory of either side; texts are copied.
#include <windows.h>

#include <string>
#include <variant>
#include <vector>

#include "OpcDa.h"
#include "config/DataAccessSetting.h"
#include "items/DataChangeStream.h"

namespace korven {

// The group parameters as AddGroup and SetState take them.
struct GroupParameters {
    DWORD updateRate = 3000;
    BOOL active = TRUE;
    LONG timeBias = 0;
    FLOAT deadband = 0.0f;
    DWORD localeId = 0;
    OPCHANDLE clientGroupHandle = 0;
};

namespace request {

// Makes the server object and the group, and subscribes to both.
struct Connect {
    std::wstring progId;
    std::wstring nodeName;  // empty: this computer
    std::wstring groupName;
    GroupParameters group;
    DataAccess dataAccess = DataAccess::Auto;
};

struct ItemDefinition {
    OPCHANDLE clientHandle = 0;
    std::wstring itemId;
};

// One pass: the items leaving the group, then the items joining it.
struct SyncItems {
    std::vector<OPCHANDLE> remove;
    std::vector<ItemDefinition> add;
};

// GetStatus and GetState.
struct ReadStatus {};

struct SetState {
    GroupParameters group;
};

// The current device values, sent through the subscription.
struct Refresh {};

// The end: the items leave the group, then everything is released and the
// server thread ends.
struct Close {
    std::vector<OPCHANDLE> remove;
};

}  // namespace request

using ServerRequest = std::variant<request::Connect, request::SyncItems, request::ReadStatus,
                                   request::SetState, request::Refresh, request::Close>;

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

}  // namespace korven
