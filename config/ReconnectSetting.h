#pragma once
// A topic's Reconnect key: the seconds between attempts to connect again
// after its server shut down or was lost.
#include <windows.h>

#include <optional>

namespace korven {

constexpr DWORD kReconnectMinSeconds = 5;
constexpr DWORD kReconnectMaxSeconds = 3600;

// The seconds a Reconnect value stands for: 0 for an empty value or 0 (never),
// 5 to 3600 as written (decimal digits only); nothing for any other text.
std::optional<DWORD> parseReconnectSeconds(const char* value);

}  // namespace korven
