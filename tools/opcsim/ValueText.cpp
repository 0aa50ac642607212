#include "ValueText.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <vector>

#include "ArrayText.h"
#include "TextScan.h"

namespace opcsim {
namespace {

const LCID kValueLocale = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);

const std::map<std::string, VARTYPE, std::less<>>& scalarTypes() {
    static const std::map<std::string, VARTYPE, std::less<>> types = {
        {"VT_EMPTY", VT_EMPTY},     {"VT_I1", VT_I1},       {"VT_UI1", VT_UI1},
        {"VT_I2", VT_I2},           {"VT_UI2", VT_UI2},     {"VT_I4", VT_I4},
        {"VT_UI4", VT_UI4},         {"VT_INT", VT_INT},     {"VT_UINT", VT_UINT},
        {"VT_I8", VT_I8},           {"VT_UI8", VT_UI8},     {"VT_R4", VT_R4},
        {"VT_R8", VT_R8},           {"VT_CY", VT_CY},       {"VT_DATE", VT_DATE},
        {"VT_BSTR", VT_BSTR},       {"VT_ERROR", VT_ERROR}, {"VT_BOOL", VT_BOOL},
        {"VT_DECIMAL", VT_DECIMAL},
    };
    return types;
}

// The digits of an integer text, decimal or 0x hex, with no sign or blank
// among them.
struct Magnitude {
    unsigned long long value;
    bool hex;
};

std::optional<Magnitude> parseMagnitude(std::string digits) {
    const bool hex =
        digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (hex) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.find_first_of("+- ") != std::string::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0') {
        return std::nullopt;
    }
    return Magnitude{value, hex};
}

std::optional<int64_t> parseSigned(std::string_view text, int64_t lo, int64_t hi) {
    std::string s(trimBlanks(text));
    if (s.empty()) {
        return std::nullopt;
    }
    bool negative = s[0] == '-';
    auto parsed = parseMagnitude((s[0] == '-' || s[0] == '+') ? s.substr(1) : s);
    if (!parsed) {
        return std::nullopt;
    }
    unsigned long long magnitude = parsed->value;
    // Hex text names the bit pattern: 0xFFFFFFFF is -1 for a 32-bit type.
    if (parsed->hex && !negative) {
        if (lo < 0 && hi > 0) {
            uint64_t span = static_cast<uint64_t>(hi) * 2 + 1;
            if (magnitude > span) {
                return std::nullopt;
            }
            if (magnitude > static_cast<uint64_t>(hi)) {
                return static_cast<int64_t>(magnitude - span - 1);
            }
        }
    }
    if (negative) {
        if (magnitude > static_cast<unsigned long long>(std::numeric_limits<int64_t>::max()) + 1) {
            return std::nullopt;
        }
        int64_t value = static_cast<int64_t>(0 - magnitude);
        if (value < lo) {
            return std::nullopt;
        }
        return value;
    }
    if (magnitude > static_cast<uint64_t>(hi)) {
        return std::nullopt;
    }
    return static_cast<int64_t>(magnitude);
}

std::optional<uint64_t> parseUnsigned(std::string_view text, uint64_t hi) {
    auto parsed = parseMagnitude(std::string(trimBlanks(text)));
    if (!parsed || parsed->value > hi) {
        return std::nullopt;
    }
    return parsed->value;
}

std::optional<double> parseReal(std::string_view text) {
    std::string s(trimBlanks(text));
    if (s.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(s.c_str(), &end);
    if (errno == ERANGE || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string parseScalar(std::string_view text, VARTYPE vt, VARIANT* out) {
    const std::string bad = "not a value of type " + typeName(vt) + ": " + std::string(text);
    switch (vt) {
        case VT_EMPTY:
            return trimBlanks(text).empty() ? std::string() : bad;
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_INT:
        case VT_I8:
        case VT_ERROR: {
            int64_t lo = vt == VT_I1   ? INT8_MIN
                         : vt == VT_I2 ? INT16_MIN
                         : vt == VT_I8 ? INT64_MIN
                                       : INT32_MIN;
            int64_t hi = vt == VT_I1   ? INT8_MAX
                         : vt == VT_I2 ? INT16_MAX
                         : vt == VT_I8 ? INT64_MAX
                                       : INT32_MAX;
            auto v = parseSigned(text, lo, hi);
            if (!v) {
                return bad;
            }
            out->vt = vt;
            if (vt == VT_I1) {
                out->cVal = static_cast<CHAR>(*v);
            } else if (vt == VT_I2) {
                out->iVal = static_cast<SHORT>(*v);
            } else if (vt == VT_I8) {
                out->llVal = *v;
            } else if (vt == VT_ERROR) {
                out->scode = static_cast<SCODE>(*v);
            } else {
                out->lVal = static_cast<LONG>(*v);
            }
            return {};
        }
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UINT:
        case VT_UI8: {
            uint64_t hi = vt == VT_UI1   ? UINT8_MAX
                          : vt == VT_UI2 ? UINT16_MAX
                          : vt == VT_UI8 ? UINT64_MAX
                                         : UINT32_MAX;
            auto v = parseUnsigned(text, hi);
            if (!v) {
                return bad;
            }
            out->vt = vt;
            if (vt == VT_UI1) {
                out->bVal = static_cast<BYTE>(*v);
            } else if (vt == VT_UI2) {
                out->uiVal = static_cast<USHORT>(*v);
            } else if (vt == VT_UI8) {
                out->ullVal = *v;
            } else {
                out->ulVal = static_cast<ULONG>(*v);
            }
            return {};
        }
        case VT_R4:
        case VT_R8:
        case VT_DATE: {
            auto v = parseReal(text);
            if (!v) {
                return bad;
            }
            out->vt = vt;
            if (vt == VT_R4) {
                out->fltVal = static_cast<FLOAT>(*v);
            } else if (vt == VT_R8) {
                out->dblVal = *v;
            } else {
                out->date = *v;
            }
            return {};
        }
        case VT_BOOL: {
            std::string_view t = trimBlanks(text);
            if (t == "true" || t == "1") {
                out->boolVal = VARIANT_TRUE;
            } else if (t == "false" || t == "0") {
                out->boolVal = VARIANT_FALSE;
            } else {
                return bad;
            }
            out->vt = VT_BOOL;
            return {};
        }
        case VT_CY:
        case VT_DECIMAL: {
            std::string t(trimBlanks(text));
            if (t.empty() || !parseReal(t)) {
                return bad;
            }
            std::wstring wide(t.begin(), t.end());
            HRESULT hr = vt == VT_CY ? VarCyFromStr(wide.data(), kValueLocale, 0, &out->cyVal)
                                     : VarDecFromStr(wide.data(), kValueLocale, 0, &out->decVal);
            if (FAILED(hr)) {
                return bad;
            }
            out->vt = vt;  // after decVal: its first word stands where vt stands
            return {};
        }
        case VT_BSTR: {
            auto s = parseQuoted(text);
            if (!s) {
                return "a text value must be quoted: " + std::string(text);
            }
            out->bstrVal = SysAllocStringLen(s->data(), static_cast<UINT>(s->size()));
            if (!out->bstrVal) {
                return "out of memory";
            }
            out->vt = VT_BSTR;
            return {};
        }
        default:
            return "unsupported type " + typeName(vt);
    }
}

std::optional<VARTYPE> parseTypeName(std::string_view name) {
    name = trimBlanks(name);
    const auto& types = scalarTypes();
    constexpr std::string_view arrayPrefix = "VT_ARRAY|";
    if (name.substr(0, arrayPrefix.size()) == arrayPrefix) {
        const std::string_view elementName = name.substr(arrayPrefix.size());
        if (elementName == "VT_VARIANT") {
            return static_cast<VARTYPE>(VT_ARRAY | VT_VARIANT);
        }
        auto element = types.find(elementName);
        if (element == types.end() || element->second == VT_EMPTY ||
            element->second == VT_DECIMAL) {
            return std::nullopt;
        }
        return static_cast<VARTYPE>(VT_ARRAY | element->second);
    }
    auto it = types.find(name);
    if (it == types.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::string typeName(VARTYPE vt) {
    const std::string prefix = (vt & VT_ARRAY) ? "VT_ARRAY|" : "";
    if ((vt & VT_TYPEMASK) == VT_VARIANT) {
        return prefix + "VT_VARIANT";
    }
    for (const auto& [name, type] : scalarTypes()) {
        if (type == (vt & VT_TYPEMASK)) {
            return prefix + name;
        }
    }
    return "VT_" + std::to_string(vt);
}

std::string parseValue(std::string_view text, VARTYPE vt, VARIANT* out) {
    return (vt & VT_ARRAY) ? parseArray(text, vt, out) : parseScalar(text, vt, out);
}

std::optional<std::wstring> parseQuoted(std::string_view text) {
    text = trimBlanks(text);
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
        return std::nullopt;
    }
    text = text.substr(1, text.size() - 2);
    std::string utf8;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            return std::nullopt;
        }
        if (c != '\\') {
            utf8 += c;
            continue;
        }
        if (++i >= text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
            case '"':
                utf8 += '"';
                break;
            case '\\':
                utf8 += '\\';
                break;
            case 'n':
                utf8 += '\n';
                break;
            case 'r':
                utf8 += '\r';
                break;
            case 't':
                utf8 += '\t';
                break;
            case 'u': {
                if (i + 4 >= text.size()) {
                    return std::nullopt;
                }
                auto code = parseUnsigned("0x" + std::string(text.substr(i + 1, 4)), 0xFFFF);
                if (!code) {
                    return std::nullopt;
                }
                wchar_t unit = static_cast<wchar_t>(*code);
                utf8 += toUtf8(std::wstring_view(&unit, 1));
                i += 4;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return fromUtf8(utf8);
}

std::string toUtf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring fromUtf8(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string quote(std::wstring_view text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == L'\n') {
            out += "\\n";
        } else if (c == L'\r') {
            out += "\\r";
        } else if (c == L'\t') {
            out += "\\t";
        } else if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += toUtf8(std::wstring_view(&c, 1));
        }
    }
    return out + "\"";
}

std::string quote(const wchar_t* text) {
    return text ? quote(std::wstring_view(text)) : std::string("null");
}

std::string formatScalar(VARTYPE vt, const void* data) {
    char buf[64];
    switch (vt) {
        case VT_EMPTY:
            return "";
        case VT_I1:
            return std::to_string(*static_cast<const CHAR*>(data));
        case VT_UI1:
            return std::to_string(*static_cast<const BYTE*>(data));
        case VT_I2:
            return std::to_string(*static_cast<const SHORT*>(data));
        case VT_UI2:
            return std::to_string(*static_cast<const USHORT*>(data));
        case VT_I4:
        case VT_INT:
            return std::to_string(*static_cast<const LONG*>(data));
        case VT_UI4:
        case VT_UINT:
            return std::to_string(*static_cast<const ULONG*>(data));
        case VT_I8:
            return std::to_string(*static_cast<const LONGLONG*>(data));
        case VT_UI8:
            return std::to_string(*static_cast<const ULONGLONG*>(data));
        case VT_R4:
            std::snprintf(buf, sizeof buf, "%.9g", *static_cast<const FLOAT*>(data));
            return buf;
        case VT_R8:
        case VT_DATE:
            std::snprintf(buf, sizeof buf, "%.17g", *static_cast<const double*>(data));
            return buf;
        case VT_BOOL:
            return *static_cast<const VARIANT_BOOL*>(data) ? "true" : "false";
        case VT_ERROR:
            std::snprintf(buf, sizeof buf, "0x%08lX",
                          static_cast<unsigned long>(*static_cast<const SCODE*>(data)));
            return buf;
        case VT_CY: {
            LONGLONG units = static_cast<const CY*>(data)->int64;
            unsigned long long magnitude =
                units < 0 ? 0ULL - static_cast<unsigned long long>(units) : units;
            std::snprintf(buf, sizeof buf, "%s%llu.%04llu", units < 0 ? "-" : "", magnitude / 10000,
                          magnitude % 10000);
            return buf;
        }
        case VT_DECIMAL: {
            BSTR text = nullptr;
            if (FAILED(VarBstrFromDec(const_cast<DECIMAL*>(static_cast<const DECIMAL*>(data)),
                                      kValueLocale, 0, &text))) {
                return "?";
            }
            std::string out = toUtf8(std::wstring_view(text, SysStringLen(text)));
            SysFreeString(text);
            return out;
        }
        case VT_BSTR: {
            BSTR b = *static_cast<const BSTR*>(data);
            return quote(std::wstring_view(b ? b : L"", b ? SysStringLen(b) : 0));
        }
        default:
            return "?";
    }
}

std::string formatValue(const VARIANT& v) {
    std::string out = typeName(v.vt) + ":";
    if (v.vt & VT_BYREF) {
        return out + "?";
    }
    if (v.vt & VT_ARRAY) {
        return out + formatArray(v.parray, v.vt & VT_TYPEMASK);
    }
    if (v.vt == VT_DECIMAL) {
        return out + formatScalar(VT_DECIMAL, &v.decVal);
    }
    return out + formatScalar(v.vt, &v.llVal);
}

}  // namespace opcsim
