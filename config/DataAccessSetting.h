#pragma once
// A topic's DataAccess key: how its group's values reach the bridge.
#include "config/KeyWord.h"

namespace korven {

enum class DataAccess {
    Auto,       // the 1.0 data-change stream when the group offers it, else the 2.0 callbacks
    Stream,     // "1.0": the stream only
    Callbacks,  // "2.0": the callbacks only
};

// The words a DataAccess value may be (empty is "auto").
inline constexpr KeyWord<DataAccess> kDataAccessWords[] = {
    {"auto", DataAccess::Auto}, {"1.0", DataAccess::Stream}, {"2.0", DataAccess::Callbacks}};

}  // namespace korven
