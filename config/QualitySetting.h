#pragma once
// A topic's Quality key: whether a value's quality shows in its text, and
// whether the topic's items read "#OFFLINE" while its server cannot be
// counted on.
#include <optional>

namespace korven {

enum class QualityMarks {
    Hide,    // as the value alone (the default)
    Mark,    // bad values read "#BAD(q)"; the offline mark
    Strict,  // as Mark, and uncertain values read "#UNCERTAIN(q)"
};

// The marks a Quality value stands for: empty or "hide", "mark", "strict"
// (any letter case); nothing for any other text.
std::optional<QualityMarks> parseQualityMarks(const char* value);

}  // namespace korven
