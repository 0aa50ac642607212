// Scanning the scenario's and the control channel's lines: blanks around a
// text, and separators that stand outside quoted texts and {..} arrays.
#pragma once

#include <cstddef>
#include <string_view>

namespace opcsim {

// The text without the blanks and tabs before it and the blanks, tabs and
// carriage return after it.
std::string_view trimBlanks(std::string_view text);

// The position of the first of `separators` at or after `from` that stands
// outside quoted texts ("..." with backslash escapes) and {..} arrays;
// text.size() when there is none.
std::size_t findSeparator(std::string_view text, std::size_t from, std::string_view separators);

}  // namespace opcsim
