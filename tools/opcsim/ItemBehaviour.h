// How a simulated item's value moves from one update to the next.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ComGuards.h"

namespace opcsim {

struct ItemBehaviour {
    enum class Kind { Fixed, Counter, Ramp, Walk, List, Toggle, Clock };
    Kind kind = Kind::Fixed;
    double step = 1.0;
    double min = 0.0;
    double max = 0.0;
    uint32_t seed = 1;               // random walk: state of the generator
    std::vector<VariantGuard> list;  // scripted values, sent in turn
    size_t next = 0;                 // scripted list: index of the next value
};

// Parses "fixed", "counter [step]", "ramp <min> <max> <step>",
// "walk <step> <min> <max>", "toggle", "clock" (the milliseconds of the day
// at each update) or "list <v1> <v2> ..." (values as the item's type writes
// them, separated by blanks). Returns an error or empty.
std::string parseBehaviour(std::string_view text, VARTYPE type, ItemBehaviour* out);

// One update step: changes `value` (of the item's type) as the behaviour says.
// Returns whether the value changed.
bool advance(ItemBehaviour& behaviour, VARIANT* value);

}  // namespace opcsim
