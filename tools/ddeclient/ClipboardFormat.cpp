#include "ClipboardFormat.h"

#include "Script.h"

namespace ddetool {

namespace {

bool sameNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (towupper(a[i]) != towupper(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<UINT> resolveClipboardFormat(const std::optional<std::wstring>& word) {
    if (!word || sameNoCase(*word, L"TEXT") || sameNoCase(*word, L"CF_TEXT")) {
        return CF_TEXT;
    }
    if (sameNoCase(*word, L"UNICODETEXT") || sameNoCase(*word, L"CF_UNICODETEXT")) {
        return CF_UNICODETEXT;
    }
    if (sameNoCase(*word, L"OEMTEXT") || sameNoCase(*word, L"CF_OEMTEXT")) {
        return CF_OEMTEXT;
    }
    if (!word->empty() && (*word)[0] >= L'0' && (*word)[0] <= L'9') {
        const std::optional<std::uint32_t> n = parseNumber(*word);
        if (!n || *n == 0 || *n > 0xFFFF) {
            return std::nullopt;
        }
        return static_cast<UINT>(*n);
    }
    const UINT registered = RegisterClipboardFormatW(word->c_str());
    if (registered == 0) {
        return std::nullopt;
    }
    return registered;
}

TextKind textKindOf(UINT format) {
    switch (format) {
        case CF_UNICODETEXT:
            return TextKind::Utf16;
        case CF_OEMTEXT:
            return TextKind::Oem;
        default:
            return TextKind::Ansi;
    }
}

}  // namespace ddetool
