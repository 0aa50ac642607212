#pragma once
// A topic's Quality key: whether a value's quality shows in its text, and
// whether the topic's items read "#OFFLINE" while its server cannot be
// counted on.
#include "config/KeyWord.h"

namespace korven {

enum class QualityMarks {
    Hide,    // as the value alone (the default)
    Mark,    // bad values read "#BAD(q)"; the offline mark
    Strict,  // as Mark, and uncertain values read "#UNCERTAIN(q)"
};

// The words a Quality value may be (any letter case; empty is "hide").
inline constexpr KeyWord<QualityMarks> kQualityWords[] = {
    {"hide", QualityMarks::Hide}, {"mark", QualityMarks::Mark}, {"strict", QualityMarks::Strict}};

}  // namespace korven
