#include "EntryText.h"

#include <cstdio>

namespace opcbrowse {
namespace {

const char* baseTypeName(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
            return "VT_EMPTY";
        case VT_NULL:
            return "VT_NULL";
        case VT_I2:
            return "VT_I2";
        case VT_I4:
            return "VT_I4";
        case VT_R4:
            return "VT_R4";
        case VT_R8:
            return "VT_R8";
        case VT_CY:
            return "VT_CY";
        case VT_DATE:
            return "VT_DATE";
        case VT_BSTR:
            return "VT_BSTR";
        case VT_DISPATCH:
            return "VT_DISPATCH";
        case VT_ERROR:
            return "VT_ERROR";
        case VT_BOOL:
            return "VT_BOOL";
        case VT_VARIANT:
            return "VT_VARIANT";
        case VT_UNKNOWN:
            return "VT_UNKNOWN";
        case VT_DECIMAL:
            return "VT_DECIMAL";
        case VT_I1:
            return "VT_I1";
        case VT_UI1:
            return "VT_UI1";
        case VT_UI2:
            return "VT_UI2";
        case VT_UI4:
            return "VT_UI4";
        case VT_I8:
            return "VT_I8";
        case VT_UI8:
            return "VT_UI8";
        case VT_INT:
            return "VT_INT";
        case VT_UINT:
            return "VT_UINT";
        default:
            return nullptr;
    }
}

// Windows' own texts for the codes a connection meets most, for systems
// (Wine) that have no message for them.
const wchar_t* knownResultText(HRESULT hr) {
    switch (static_cast<unsigned long>(hr)) {
        case 0x800401F3UL:
            return L"Invalid class string";  // CO_E_CLASSSTRING
        case 0x80040154UL:
            return L"Class not registered";  // REGDB_E_CLASSNOTREG
        case 0x80004002UL:
            return L"No such interface supported";
        case 0x80070005UL:
            return L"Access is denied.";
        case 0x80080005UL:
            return L"Server execution failed";
        case 0x800706BAUL:
            return L"The RPC server is unavailable.";
        default:
            return nullptr;
    }
}

std::string hex(unsigned long value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%0*lX", digits, value);
    return buffer;
}

}  // namespace

std::string varTypeName(VARTYPE vt) {
    const VARTYPE flags = vt & (VT_ARRAY | VT_BYREF | VT_VECTOR);
    const char* base = baseTypeName(vt & VT_TYPEMASK);
    if (!base || (vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF | VT_VECTOR))) {
        return hex(vt, 4);
    }
    std::string out;
    if (flags & VT_VECTOR) {
        out += "VT_VECTOR|";
    }
    if (flags & VT_ARRAY) {
        out += "VT_ARRAY|";
    }
    if (flags & VT_BYREF) {
        out += "VT_BYREF|";
    }
    return out + base;
}

std::string accessRightsName(DWORD rights) {
    switch (rights) {
        case 0:
            return "none";
        case 1:
            return "read";
        case 2:
            return "write";
        case 3:
            return "read-write";
        default:
            return hex(rights, 1);
    }
}

std::string resultCode(HRESULT hr) {
    return hex(static_cast<unsigned long>(hr), 8);
}

std::wstring resultText(HRESULT hr) {
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring text;
    if (length > 0 && message) {
        text.assign(message, length);
    }
    if (message) {
        LocalFree(message);
    }
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
        text.pop_back();
    }
    if (text.empty() && knownResultText(hr)) {
        text = knownResultText(hr);
    }
    if (text.empty()) {
        const std::string fallback = "Unknown error " + resultCode(hr);
        text.assign(fallback.begin(), fallback.end());
    }
    return text;
}

}  // namespace opcbrowse
