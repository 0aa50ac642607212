#include "ServerCatalog.h"

#include <objbase.h>

#include <algorithm>
#include <map>

#include "ComRef.h"

namespace opcbrowse {
namespace {

struct Category {
    CATID id;
    const char* version;
};

// "OPC Data Access Servers Version 1.0", "... 2.0", "... 3.0".
const Category kCategories[] = {
    {{0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}}, "1.0"},
    {{0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}}, "2.0"},
    {{0xCC603642, 0x66D7, 0x48F1, {0xB6, 0x9A, 0xB6, 0x25, 0xE7, 0x36, 0x52, 0xD7}}, "3.0"},
};

struct FoundClass {
    CLSID clsid{};
    ServerEntry entry;
};

std::wstring guidText(const GUID& guid) {
    wchar_t buffer[40] = {};
    StringFromGUID2(guid, buffer, 40);
    return buffer;
}

bool listedBefore(const ServerEntry& a, const ServerEntry& b) {
    if (a.progId.empty() != b.progId.empty()) {
        return b.progId.empty();
    }
    const int order =
        CompareStringOrdinal(a.progId.c_str(), static_cast<int>(a.progId.size()), b.progId.c_str(),
                             static_cast<int>(b.progId.size()), TRUE);
    if (order != CSTR_EQUAL) {
        return order == CSTR_LESS_THAN;
    }
    return a.clsid < b.clsid;
}

// Adds the category's classes to `found`, keyed by their CLSID text.
CatalogResult addClasses(ServerSource& source, const Category& category,
                         std::map<std::wstring, FoundClass>& found) {
    ComRef<IEnumGUID> classes;
    const HRESULT hr = source.classesOf(category.id, classes.out());
    if (FAILED(hr)) {
        return {hr, "EnumClassesOfCategories", category.version};
    }
    while (classes) {
        constexpr ULONG kChunk = 16;
        GUID chunk[kChunk] = {};
        ULONG fetched = 0;
        const HRESULT next = classes->Next(kChunk, chunk, &fetched);
        if (FAILED(next)) {
            return {next, "IEnumGUID.Next", category.version};
        }
        for (ULONG i = 0; i < fetched && i < kChunk; ++i) {
            FoundClass& one = found[guidText(chunk[i])];
            if (one.entry.clsid.empty()) {
                one.clsid = chunk[i];
                one.entry.clsid = guidText(chunk[i]);
            }
            // An enumerator that names a class twice still gives one version.
            if (one.entry.versions.empty() || one.entry.versions.back() != category.version) {
                one.entry.versions.emplace_back(category.version);
            }
        }
        if (next != S_OK || fetched == 0) {
            break;
        }
    }
    return {};
}

}  // namespace

CatalogResult collectServers(ServerSource& source, std::vector<ServerEntry>& servers) {
    servers.clear();
    std::map<std::wstring, FoundClass> found;
    for (const Category& category : kCategories) {
        const CatalogResult result = addClasses(source, category, found);
        if (FAILED(result.hr)) {
            return result;
        }
    }
    for (auto& [key, one] : found) {
        source.describe(one.clsid, one.entry);
        servers.push_back(std::move(one.entry));
    }
    std::sort(servers.begin(), servers.end(), listedBefore);
    return {};
}

}  // namespace opcbrowse
