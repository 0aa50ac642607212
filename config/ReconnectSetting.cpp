#include "config/ReconnectSetting.h"

namespace korven {

std::optional<DWORD> parseReconnectSeconds(const char* value) {
    if (value == nullptr || *value == '\0') {
        return 0;
    }
    DWORD seconds = 0;
    for (const char* at = value; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9') {
            return std::nullopt;
        }
        seconds = seconds * 10 + static_cast<DWORD>(*at - '0');
        if (seconds > kReconnectMaxSeconds) {
            return std::nullopt;
        }
    }
    if (seconds != 0 && seconds < kReconnectMinSeconds) {
        return std::nullopt;
    }
    return seconds;
}

}  // namespace korven
