#pragma once
// A topic's Arrays key: how an array value reads.
#include "config/KeyWord.h"

namespace korven {

enum class ArrayTexts {
    Error,  // "#ERR:TYPE(VT=n)", as any type without a text (the default)
    Tabs,   // elements separated by tabs, rows by CR LF
};

// The words an Arrays value may be (any letter case; empty is "error").
inline constexpr KeyWord<ArrayTexts> kArraysWords[] = {{"error", ArrayTexts::Error},
                                                       {"tabs", ArrayTexts::Tabs}};

}  // namespace korven
