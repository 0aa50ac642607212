#include "CodePageText.h"

namespace ddetool {

std::wstring bytesToWide(std::string_view bytes, UINT codePage, bool strict) {
    if (bytes.empty()) {
        return {};
    }
    const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
    const int size = static_cast<int>(bytes.size());
    const int chars = MultiByteToWideChar(codePage, flags, bytes.data(), size, nullptr, 0);
    if (chars <= 0) {
        return {};
    }
    std::wstring out(static_cast<std::size_t>(chars), L'\0');
    MultiByteToWideChar(codePage, flags, bytes.data(), size, out.data(), chars);
    return out;
}

std::string wideToBytes(std::wstring_view text, UINT codePage) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int bytes =
        WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), size, out.data(), bytes, nullptr, nullptr);
    return out;
}

std::wstring inputLineToWide(std::string_view bytes) {
    if (bytes.empty()) {
        return {};
    }
    std::wstring wide = bytesToWide(bytes, CP_UTF8, true);
    if (wide.empty()) {
        wide = bytesToWide(bytes, CP_ACP);
    }
    return wide;
}

}  // namespace ddetool
