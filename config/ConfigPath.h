#pragma once
// Where the topic configuration is read from: the current directory's
// KORVEN.ini, in a path of at most 260 bytes with its NUL.
#include <optional>
#include <string>
#include <string_view>

namespace korven {

constexpr size_t kConfigPathRoom = 260;

// dir + "\KORVEN.ini", or nothing when that would not fit the path's room.
std::optional<std::string> joinConfigPath(std::string_view directory);

// The path for the process's current directory; writes the error line and
// gives nothing when the directory cannot be read or is too long.
std::optional<std::string> configFilePath();

}  // namespace korven
