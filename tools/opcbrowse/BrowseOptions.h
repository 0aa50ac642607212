#pragma once
// The command line of opcbrowse: <ProgID> [/Node=<name>] [/Flat], or
// /Servers [/Node=<name>].
#include <string>
#include <vector>

namespace opcbrowse {

struct BrowseOptions {
    std::wstring progId;
    std::wstring node;  // empty: this computer
    bool flat = false;
    bool servers = false;  // list the computer's OPC servers instead of browsing one
};

struct OptionsResult {
    BrowseOptions options;
    std::wstring error;  // non-empty: a usage error
};

// Options are taken in any order and letter case; the one argument that is
// not an option is the ProgID. /Servers takes neither a ProgID nor /Flat.
OptionsResult parseBrowseOptions(const std::vector<std::wstring>& arguments);

}  // namespace opcbrowse
