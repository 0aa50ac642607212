// The simulation's address space, as IOPCBrowseServerAddressSpace shows it:
// branches from the dots in the item IDs ("Demo.Counter" is the leaf
// "Counter" under the branch "Demo"; an ID without a dot is a leaf at the
// root). A browse position is a list of branch names from the root.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Scenario.h"

namespace opcsim {

// Every simulated item is read-only (OPC_READABLE).
constexpr DWORD kItemAccessRights = 1;

// "A.B.C" -> {"A", "B", "C"}. An ID with an empty part (a leading, trailing
// or doubled dot) is not split: it is one leaf at the root.
std::vector<std::wstring> splitItemId(std::wstring_view id);

// A browse filter: '*' stands for any run of characters, every other
// character for itself. An empty pattern matches everything.
bool wildcardMatch(std::wstring_view pattern, std::wstring_view text);

// The names of a position joined with dots ("" at the root).
std::wstring qualifiedName(const std::vector<std::wstring>& position);

struct LeafFilter {
    std::wstring pattern;     // wildcard on the name (or the item ID when flat)
    VARTYPE type = VT_EMPTY;  // VT_EMPTY: any type
    DWORD accessRights = 0;   // 0: any; else all of these bits
};

class AddressSpace {
  public:
    explicit AddressSpace(const std::vector<ItemSpec>& items);

    bool isBranch(const std::vector<std::wstring>& position) const;
    // The branch names at a position, in name order (empty for an unknown one).
    std::vector<std::wstring> branches(const std::vector<std::wstring>& position,
                                       std::wstring_view pattern) const;
    // The leaf names at a position, in name order.
    std::vector<std::wstring> leaves(const std::vector<std::wstring>& position,
                                     const LeafFilter& filter) const;
    // The item IDs of every leaf at and below a position, in tree order.
    std::vector<std::wstring> flat(const std::vector<std::wstring>& position,
                                   const LeafFilter& filter) const;
    // The item ID of a leaf name at a position; a branch name (or "") gives
    // the branch's qualified name. Empty when the name is neither.
    std::optional<std::wstring> itemId(const std::vector<std::wstring>& position,
                                       std::wstring_view name) const;

  private:
    struct Leaf {
        std::wstring id;
        VARTYPE type = VT_EMPTY;
    };
    struct Branch {
        std::map<std::wstring, Branch> branches;
        std::map<std::wstring, Leaf> leaves;
    };

    const Branch* find(const std::vector<std::wstring>& position) const;
    static bool passes(const Leaf& leaf, const LeafFilter& filter, std::wstring_view name);
    static void collect(const Branch& branch, const LeafFilter& filter,
                        std::vector<std::wstring>& out);

    Branch root_;
};

}  // namespace opcsim
