// opcbrowse: lists the item IDs of an OPC DA server, as a tree of branches
// and leaves or as a flat list, with each item's canonical type and access
// rights when the server tells them; with /Servers, the OPC DA servers of a
// computer. See README.md for the output lines and the exit codes.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "AddressWalk.h"
#include "BrowseOptions.h"
#include "ComRef.h"
#include "CommandLine.h"
#include "EntryText.h"
#include "OutputSink.h"
#include "ServerCatalog.h"
#include "ServerConnect.h"
#include "ServerSources.h"
#include "TextEscape.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitServer = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: opcbrowse <ProgID> [/Node=<name>] [/Flat]\n"
    "       opcbrowse /Servers [/Node=<name>]\n"
    "  lists the server's item IDs: a tree of branches and leaves, or with /Flat\n"
    "  one fully qualified item ID a line; /Node= browses a server on another computer.\n"
    "  /Servers lists the OPC DA servers registered on this computer, or on the\n"
    "  computer /Node= names (through its OpcEnum)";

std::string failureText(HRESULT hr) {
    return " hr=" + opcbrowse::resultCode(hr) +
           " text=" + ddetool::escape(ddetool::toUtf8(opcbrowse::resultText(hr)), false);
}

std::string serverFields(const opcbrowse::BrowseOptions& options) {
    std::string fields = "progid=" + ddetool::fieldText(options.progId);
    if (!options.node.empty()) {
        fields += " node=" + ddetool::fieldText(options.node);
    }
    return fields;
}

// Connects, browses and writes every line but the last; returns the exit code.
int browseServer(const opcbrowse::BrowseOptions& options, bool& flat, int& branches, int& items) {
    opcbrowse::ComRef<IOPCServer> server;
    const opcbrowse::ConnectResult connected = opcbrowse::connectServer(options, server);
    if (FAILED(connected.hr)) {
        ddetool::writeLine("SERVER FAIL " + serverFields(options) + " step=" + connected.step +
                           failureText(connected.hr));
        return kExitServer;
    }
    opcbrowse::ComRef<IOPCBrowseServerAddressSpace> browse;
    HRESULT hr = server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.outVoid());
    if (FAILED(hr) || !browse) {
        ddetool::writeLine("BROWSE FAIL " + serverFields(options) +
                           " reason=no-browse-interface hr=" +
                           opcbrowse::resultCode(FAILED(hr) ? hr : E_NOINTERFACE) +
                           " text=The server does not offer IOPCBrowseServerAddressSpace: it "
                           "cannot list its item IDs.");
        return kExitServer;
    }
    OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
    hr = browse->QueryOrganization(&organization);
    if (FAILED(hr)) {
        ddetool::writeLine("BROWSE FAIL step=QueryOrganization at=" + failureText(hr));
        return kExitServer;
    }
    // Without item properties the lines carry no type and access rights.
    opcbrowse::ComRef<IOPCItemProperties> properties;
    server->QueryInterface(IID_IOPCItemProperties, properties.outVoid());

    flat = flat || organization == OPC_NS_FLAT;
    ddetool::writeLine("SERVER OK " + serverFields(options) +
                       " organization=" + (organization == OPC_NS_FLAT ? "flat" : "hierarchical") +
                       " properties=" + (properties ? "yes" : "no"));
    opcbrowse::AddressWalk walk(browse.get(), properties.get(), flat);
    const bool complete = walk.run(organization);
    branches = walk.branches();
    items = walk.items();
    return complete ? kExitOk : kExitServer;
}

// Lists the servers of this computer or of the node and writes every line
// but the last; returns the exit code.
int listServers(const opcbrowse::BrowseOptions& options, int& count) {
    const std::string node =
        options.node.empty() ? std::string() : " node=" + ddetool::fieldText(options.node);
    opcbrowse::CategoryManagerSource local;
    opcbrowse::OpcEnumSource remote;
    opcbrowse::ServerSource* source = &local;
    HRESULT hr = S_OK;
    if (options.node.empty()) {
        hr = local.open();
    } else {
        hr = remote.open(options.node);
        source = &remote;
    }
    if (FAILED(hr)) {
        ddetool::writeLine("SERVERS FAIL" + node + " step=create" + failureText(hr));
        return kExitServer;
    }
    std::vector<opcbrowse::ServerEntry> servers;
    const opcbrowse::CatalogResult listed = opcbrowse::collectServers(*source, servers);
    if (FAILED(listed.hr)) {
        ddetool::writeLine("SERVERS FAIL" + node + " step=" + listed.step +
                           " version=" + listed.version + failureText(listed.hr));
        return kExitServer;
    }
    ddetool::writeLine("SERVERS OK" + node);
    for (const opcbrowse::ServerEntry& server : servers) {
        std::string versions;
        for (const std::string& version : server.versions) {
            versions += (versions.empty() ? "" : ",") + version;
        }
        ddetool::writeLine("SERVER progid=" + ddetool::fieldText(server.progId) +
                           " versions=" + versions + " clsid=" + ddetool::fieldText(server.clsid) +
                           " text=" + ddetool::escape(ddetool::toUtf8(server.description), false));
    }
    count = static_cast<int>(servers.size());
    return kExitOk;
}

}  // namespace

int main() {
    const opcbrowse::OptionsResult parsed =
        opcbrowse::parseBrowseOptions(ddetool::commandLineArguments());
    if (!parsed.error.empty()) {
        ddetool::writeErrorLine("USAGE error=" +
                                ddetool::escape(ddetool::toUtf8(parsed.error), false));
        ddetool::writeErrorLine(kUsage);
        return kExitUsage;
    }
    const opcbrowse::BrowseOptions& options = parsed.options;

    bool flat = options.flat;
    int branches = 0;
    int items = 0;
    int servers = 0;
    int code = kExitOk;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        ddetool::writeLine("COM FAIL step=CoInitializeEx" + failureText(hr));
        code = kExitServer;
    } else {
        hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                  RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        if (FAILED(hr)) {
            ddetool::writeLine("COM FAIL step=CoInitializeSecurity" + failureText(hr));
            code = kExitServer;
        } else if (options.servers) {
            code = listServers(options, servers);
        } else {
            code = browseServer(options, flat, branches, items);
        }
        CoUninitialize();
    }
    std::string counts =
        "branches=" + std::to_string(branches) + " leaves=" + std::to_string(items);
    if (options.servers) {
        counts = "servers=" + std::to_string(servers);
    } else if (flat) {
        counts = "items=" + std::to_string(items);
    }
    ddetool::writeLine("END " + counts + " code=" + std::to_string(code));
    return code;
}
