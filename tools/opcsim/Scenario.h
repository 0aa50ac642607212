// The simulation's configuration: server status, items and faults, read from
// a scenario file (format in README.md) or taken from the default set.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ComGuards.h"
#include "ItemBehaviour.h"

namespace opcsim {

struct ItemSpec {
    std::wstring id;
    VARTYPE type = VT_EMPTY;
    VariantGuard initial;
    ItemBehaviour behaviour;
    WORD quality = 0x00C0;
    WORD reserved = 0;
    HRESULT error = S_OK;  // a failure: the item is sent without a value
};

// The data paths the server's groups offer: the 1.0 stream (IDataObject,
// IOPCAsyncIO), the 2.0 callbacks (IConnectionPointContainer with
// IOPCDataCallback, IOPCAsyncIO2), or both.
enum class DataAccess { Both, V1, V2 };

struct ServerSettings {
    std::optional<std::wstring> vendor = std::wstring(L"Korven OPC simulation server");
    DWORD state = 1;         // OPC_STATUS_RUNNING
    size_t recordSize = 16;  // value records of the stream: 16, or 24 as 64-bit servers write
    WORD major = 1;
    WORD minor = 0;
    WORD build = 1;
    DWORD bandwidth = 0;
    std::map<DWORD, DWORD> revise;   // requested update rate -> granted one
    std::optional<DWORD> reviseAll;  // granted for every other request
    DataAccess dataAccess = DataAccess::Both;
    DWORD startDelay = 0;  // ms between the start and the class object's registration
};

struct Faults {
    std::optional<HRESULT> createInstance;
    bool noAsyncIO = false;
    bool noDataObject = false;
    bool noConnectionPointContainer = false;
    bool noConnectionPoint = false;
    std::optional<HRESULT> addItems;
    enum class Incomplete { None, Results, Errors } addItemsIncomplete = Incomplete::None;
    std::optional<HRESULT> setState;
    std::optional<HRESULT> blockStatus;
    std::optional<DWORD> unknownHandle;
    std::map<std::string, DWORD, std::less<>> slow;  // call name -> delay in ms
    std::set<std::string, std::less<>> hang;         // call names hung from the start
};

struct Scenario {
    ServerSettings server;
    Faults faults;
    std::vector<ItemSpec> items;  // in file order; item IDs are unique
};

struct ScenarioResult {
    std::optional<Scenario> scenario;
    std::string error;  // "line N: ..." when scenario is empty
};

ScenarioResult parseScenario(std::string_view text);

// The rate a group gets when it asks for `requested`.
DWORD grantedRate(const ServerSettings& server, DWORD requested);

// The documented default set (Demo.Counter, Demo.Ramp, Demo.Switch, Demo.Text,
// Demo.Fixed, ...), as scenario text.
std::string_view defaultScenarioText();

}  // namespace opcsim
