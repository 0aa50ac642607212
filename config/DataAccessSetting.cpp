#include "config/DataAccessSetting.h"

#include <windows.h>

#include <cstring>

namespace korven {

std::optional<DataAccess> parseDataAccess(const char* value) {
    if (value == nullptr || *value == '\0' || lstrcmpiA(value, "auto") == 0) {
        return DataAccess::Auto;
    }
    if (std::strcmp(value, "1.0") == 0) {
        return DataAccess::Stream;
    }
    if (std::strcmp(value, "2.0") == 0) {
        return DataAccess::Callbacks;
    }
    return std::nullopt;
}

}  // namespace korven
