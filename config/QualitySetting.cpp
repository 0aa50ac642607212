#include "config/QualitySetting.h"

#include <windows.h>

namespace korven {

std::optional<QualityMarks> parseQualityMarks(const char* value) {
    if (value == nullptr || *value == '\0' || lstrcmpiA(value, "hide") == 0) {
        return QualityMarks::Hide;
    }
    if (lstrcmpiA(value, "mark") == 0) {
        return QualityMarks::Mark;
    }
    if (lstrcmpiA(value, "strict") == 0) {
        return QualityMarks::Strict;
    }
    return std::nullopt;
}

}  // namespace korven
