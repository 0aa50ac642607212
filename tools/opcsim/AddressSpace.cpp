#include "AddressSpace.h"

namespace opcsim {

std::vector<std::wstring> splitItemId(std::wstring_view id) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (true) {
        const size_t dot = id.find(L'.', start);
        const std::wstring_view part = id.substr(
            start, dot == std::wstring_view::npos ? std::wstring_view::npos : dot - start);
        if (part.empty()) {
            return {std::wstring(id)};
        }
        parts.emplace_back(part);
        if (dot == std::wstring_view::npos) {
            return parts;
        }
        start = dot + 1;
    }
}

bool wildcardMatch(std::wstring_view pattern, std::wstring_view text) {
    if (pattern.empty()) {
        return true;
    }
    // Greedy match with one backtrack point: the last '*' seen.
    size_t p = 0;
    size_t t = 0;
    size_t star = std::wstring_view::npos;
    size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

std::wstring qualifiedName(const std::vector<std::wstring>& position) {
    std::wstring out;
    for (const std::wstring& name : position) {
        if (!out.empty()) {
            out += L'.';
        }
        out += name;
    }
    return out;
}

AddressSpace::AddressSpace(const std::vector<ItemSpec>& items) {
    for (const ItemSpec& item : items) {
        const std::vector<std::wstring> parts = splitItemId(item.id);
        Branch* branch = &root_;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            branch = &branch->branches[parts[i]];
        }
        branch->leaves[parts.back()] = Leaf{item.id, item.type};
    }
}

const AddressSpace::Branch* AddressSpace::find(const std::vector<std::wstring>& position) const {
    const Branch* branch = &root_;
    for (const std::wstring& name : position) {
        auto it = branch->branches.find(name);
        if (it == branch->branches.end()) {
            return nullptr;
        }
        branch = &it->second;
    }
    return branch;
}

bool AddressSpace::isBranch(const std::vector<std::wstring>& position) const {
    return find(position) != nullptr;
}

std::vector<std::wstring> AddressSpace::branches(const std::vector<std::wstring>& position,
                                                 std::wstring_view pattern) const {
    std::vector<std::wstring> out;
    if (const Branch* branch = find(position)) {
        for (const auto& [name, child] : branch->branches) {
            if (wildcardMatch(pattern, name)) {
                out.push_back(name);
            }
        }
    }
    return out;
}

bool AddressSpace::passes(const Leaf& leaf, const LeafFilter& filter, std::wstring_view name) {
    return wildcardMatch(filter.pattern, name) &&
           (filter.type == VT_EMPTY || filter.type == leaf.type) &&
           (kItemAccessRights & filter.accessRights) == filter.accessRights;
}

std::vector<std::wstring> AddressSpace::leaves(const std::vector<std::wstring>& position,
                                               const LeafFilter& filter) const {
    std::vector<std::wstring> out;
    if (const Branch* branch = find(position)) {
        for (const auto& [name, leaf] : branch->leaves) {
            if (passes(leaf, filter, name)) {
                out.push_back(name);
            }
        }
    }
    return out;
}

void AddressSpace::collect(const Branch& branch, const LeafFilter& filter,
                           std::vector<std::wstring>& out) {
    for (const auto& [name, leaf] : branch.leaves) {
        if (passes(leaf, filter, leaf.id)) {
            out.push_back(leaf.id);
        }
    }
    for (const auto& [name, child] : branch.branches) {
        collect(child, filter, out);
    }
}

std::vector<std::wstring> AddressSpace::flat(const std::vector<std::wstring>& position,
                                             const LeafFilter& filter) const {
    std::vector<std::wstring> out;
    if (const Branch* branch = find(position)) {
        collect(*branch, filter, out);
    }
    return out;
}

std::optional<std::wstring> AddressSpace::itemId(const std::vector<std::wstring>& position,
                                                 std::wstring_view name) const {
    const Branch* branch = find(position);
    if (!branch) {
        return std::nullopt;
    }
    if (name.empty()) {
        return qualifiedName(position);
    }
    const std::wstring key(name);
    if (auto it = branch->leaves.find(key); it != branch->leaves.end()) {
        return it->second.id;
    }
    if (branch->branches.count(key)) {
        std::vector<std::wstring> child = position;
        child.push_back(key);
        return qualifiedName(child);
    }
    return std::nullopt;
}

}  // namespace opcsim
