#pragma once
// What a topic's main thread asks of the topic's server thread: plain records
// that pass between the two threads through the topic's channel
// (TopicChannel). Nothing in them points into memory of either side; texts are
// copied. The answers are ServerReply's.
#include <windows.h>

#include <string>
#include <variant>
#include <vector>

#include "OpcDa.h"
#include "config/DataAccessSetting.h"

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

}  // namespace korven
