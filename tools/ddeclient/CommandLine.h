#pragma once
// The process's own command line as wide texts.
#include <string>
#include <vector>

namespace ddetool {

// The arguments after the program name, split as CommandLineToArgvW splits
// them; none when the command line cannot be split.
std::vector<std::wstring> commandLineArguments();

}  // namespace ddetool
