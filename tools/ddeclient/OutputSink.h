#pragma once
// One event line on standard output, written and flushed at once. A console gets
// the text as wide characters; a file or pipe gets UTF-8 bytes. Every line ends
// with CR LF.
#include <string_view>

namespace ddetool {

void writeLine(std::string_view utf8);
void writeErrorLine(std::string_view utf8);

}  // namespace ddetool
