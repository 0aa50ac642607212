#pragma once
// A topic's DataAccess key: how its group's values reach the bridge.
#include <optional>

namespace korven {

enum class DataAccess {
    Auto,       // the 1.0 data-change stream when the group offers it, else the 2.0 callbacks
    Stream,     // "1.0": the stream only
    Callbacks,  // "2.0": the callbacks only
};

// The path a DataAccess value stands for: empty or "auto" (any letter case),
// "1.0", "2.0"; nothing for any other text.
std::optional<DataAccess> parseDataAccess(const char* value);

}  // namespace korven
