#pragma once
// The window driver's arguments: options, then one or more commands with their
// fixed arguments. Pure and bounds-checked.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "WindowFinder.h"

namespace windriver {

enum class Action {
    Find,
    PostCommand,
    PostMessage,
    SendMessage,
    Close,
    KeyEscape,
    WaitVisible,
    WaitGone,
    Text,
    Check,
    ExStyle,
    Style,
};

struct Step {
    Action action = Action::Find;
    std::wstring word;                 // the command as written
    std::vector<std::int64_t> values;  // its numeric arguments, in order
};

struct DriverScript {
    WindowQuery query;
    std::vector<Step> steps;
    std::wstring error;  // empty when the arguments parsed
};

DriverScript parseDriverArguments(const std::vector<std::wstring>& args);

// Decimal (with an optional minus sign) or hexadecimal after "0x"; 64 bits.
std::optional<std::int64_t> parseInteger(const std::wstring& text);

}  // namespace windriver
