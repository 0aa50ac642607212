#pragma once
// The command line of opcbrowse: <ProgID> [/Node=<name>] [/Flat].
#include <string>
#include <vector>

namespace opcbrowse {

struct BrowseOptions {
    std::wstring progId;
    std::wstring node;  // empty: this computer
    bool flat = false;
};

struct OptionsResult {
    BrowseOptions options;
    std::wstring error;  // non-empty: a usage error
};

// Options are taken in any order and letter case; the one argument that is
// not an option is the ProgID.
OptionsResult parseBrowseOptions(const std::vector<std::wstring>& arguments);

}  // namespace opcbrowse
