#include "common/ComErrorText.h"

#include <cstdio>

namespace korven {

void trimMessageLineEnd(std::string& text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
}

std::string comErrorFallbackText(HRESULT hr) {
    const auto code = static_cast<unsigned long>(hr);
    char buffer[40];
    if (code >= 0x80040201UL && code <= 0x8004FFFFUL) {
        std::snprintf(buffer, sizeof buffer, "IDispatch error #%lu", code - 0x80040200UL);
    } else {
        std::snprintf(buffer, sizeof buffer, "Unknown error 0x%0lX", code);
    }
    return buffer;
}

std::string comErrorText(HRESULT hr) {
    char* message = nullptr;
    // Inserts are left as they stand: no argument list goes with a system message.
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(&message), 0, nullptr);
    if (length == 0 || message == nullptr) {
        if (message != nullptr) {
            LocalFree(message);
        }
        return comErrorFallbackText(hr);
    }
    std::string text(message, length);
    LocalFree(message);
    trimMessageLineEnd(text);
    return text;
}

}  // namespace korven
