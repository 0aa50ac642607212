#include "config/ArraysSetting.h"

#include <windows.h>

namespace korven {

std::optional<ArrayTexts> parseArrayTexts(const char* value) {
    if (value == nullptr || *value == '\0' || lstrcmpiA(value, "error") == 0) {
        return ArrayTexts::Error;
    }
    if (lstrcmpiA(value, "tabs") == 0) {
        return ArrayTexts::Tabs;
    }
    return std::nullopt;
}

}  // namespace korven
