#include "BrowseOptions.h"

#include <windows.h>

namespace opcbrowse {
namespace {

bool startsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    const size_t n = wcslen(prefix);
    return text.size() >= n && CompareStringOrdinal(text.c_str(), static_cast<int>(n), prefix,
                                                    static_cast<int>(n), TRUE) == CSTR_EQUAL;
}

}  // namespace

OptionsResult parseBrowseOptions(const std::vector<std::wstring>& arguments) {
    OptionsResult result;
    for (const std::wstring& argument : arguments) {
        if (argument.size() == 5 && startsWithNoCase(argument, L"/Flat")) {
            result.options.flat = true;
        } else if (argument.size() == 8 && startsWithNoCase(argument, L"/Servers")) {
            result.options.servers = true;
        } else if (startsWithNoCase(argument, L"/Node=")) {
            result.options.node = argument.substr(6);
            if (result.options.node.empty()) {
                result.error = L"/Node= needs a computer name";
                return result;
            }
        } else if (!argument.empty() && argument[0] == L'/') {
            result.error = L"unknown option " + argument;
            return result;
        } else if (!result.options.progId.empty()) {
            result.error = L"more than one ProgID: " + argument;
            return result;
        } else {
            result.options.progId = argument;
        }
    }
    if (result.options.servers) {
        if (!result.options.progId.empty()) {
            result.error = L"/Servers takes no ProgID: " + result.options.progId;
        } else if (result.options.flat) {
            result.error = L"/Servers and /Flat do not go together";
        }
    } else if (result.options.progId.empty()) {
        result.error = L"no ProgID";
    }
    return result;
}

}  // namespace opcbrowse
