#pragma once
// A topic's Arrays key: how an array value reads.
#include <optional>

namespace korven {

enum class ArrayTexts {
    Error,  // "#ERR:TYPE(VT=n)", as any type without a text (the default)
    Tabs,   // elements separated by tabs, rows by CR LF
};

// What an Arrays value stands for: empty or "error", "tabs" (any letter
// case); nothing for any other text.
std::optional<ArrayTexts> parseArrayTexts(const char* value);

}  // namespace korven
