#include "CallFaults.h"

#include <algorithm>

namespace opcsim {

std::string_view methodOf(std::string_view call) {
    const size_t dot = call.rfind('.');
    return dot == std::string_view::npos ? call : call.substr(dot + 1);
}

bool isFaultCallName(std::string_view name) {
    return std::any_of(std::begin(kFaultCalls), std::end(kFaultCalls), [&](std::string_view call) {
        return call == name || methodOf(call) == name;
    });
}

void CallFaults::setSlow(std::string_view name, DWORD ms) {
    if (ms == 0) {
        slow_.erase(std::string(name));
    } else {
        slow_[std::string(name)] = ms;
    }
}

DWORD CallFaults::slowFor(std::string_view call) const {
    auto own = slow_.find(call);
    if (own != slow_.end()) {
        return own->second;
    }
    auto method = slow_.find(methodOf(call));
    return method == slow_.end() ? 0 : method->second;
}

std::optional<std::string> CallFaults::hungBy(std::string_view call) const {
    for (std::string_view name : {call, methodOf(call)}) {
        auto it = hung_.find(name);
        if (it != hung_.end()) {
            return *it;
        }
    }
    return std::nullopt;
}

}  // namespace opcsim
