#pragma once
// The OPC Data Access servers of a computer: the classes registered in the
// categories "OPC Data Access Servers" 1.0, 2.0 and 3.0, each class once with
// every version it is registered for, in a stable order. Everything here runs
// on the tool's one thread.
#include <windows.h>
#include <comcat.h>

#include <string>
#include <vector>

namespace opcbrowse {

struct ServerEntry {
    std::wstring clsid;                 // "{XXXXXXXX-XXXX-...}" as StringFromGUID2 writes it
    std::wstring progId;                // empty: the computer names none for the class
    std::wstring description;           // the class's name; may be empty
    std::vector<std::string> versions;  // "1.0", "2.0", "3.0", ascending
};

// Where the classes and their names come from: this computer's category
// manager or another computer's server enumerator (ServerSources.h).
class ServerSource {
  public:
    virtual ~ServerSource() = default;
    // The classes registered in one category (an enumerator or, with S_OK or
    // S_FALSE, none: no class).
    virtual HRESULT classesOf(const CATID& category, IEnumGUID** classes) = 0;
    // Fills in the ProgID and the description; what it cannot learn stays empty.
    virtual void describe(const CLSID& clsid, ServerEntry& entry) = 0;
};

struct CatalogResult {
    HRESULT hr = S_OK;
    const char* step = "";     // on failure: "EnumClassesOfCategories" or "IEnumGUID.Next"
    const char* version = "";  // on failure: the version of the category asked
};

// Asks the source for the categories 1.0, 2.0 and 3.0, in this order, then
// for each class's details. The servers come ordered by ProgID (ordinal,
// ignoring letter case), classes without a ProgID last, equal ones by CLSID.
CatalogResult collectServers(ServerSource& source, std::vector<ServerEntry>& servers);

}  // namespace opcbrowse
