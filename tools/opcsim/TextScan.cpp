#include "TextScan.h"

namespace opcsim {

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::size_t findSeparator(std::string_view text, std::size_t from, std::string_view separators) {
    bool inQuote = false;
    int depth = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        char c = text[i];
        if (inQuote) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inQuote = false;
            }
        } else if (c == '"') {
            inQuote = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}') {
            --depth;
        } else if (depth == 0 && separators.find(c) != std::string_view::npos) {
            return i;
        }
    }
    return text.size();
}

}  // namespace opcsim
