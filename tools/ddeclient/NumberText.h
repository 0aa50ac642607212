#pragma once
// Numbers the tools read from their command lines and scripts.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ddetool {

// Digits with no sign: decimal, or hexadecimal after "0x" or "0X"; at most
// `maxDigits` of them (the prefix not counted). nullopt for anything else and
// for a value beyond 64 bits.
std::optional<std::uint64_t> parseDigits(std::wstring_view text, std::size_t maxDigits);

}  // namespace ddetool
