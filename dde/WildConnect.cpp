#include "dde/WildConnect.h"

#include <vector>

#include "common/HandleKey.h"
#include "dde/DdeInstance.h"
#include "dde/DdeService.h"
#include "opc/TopicTable.h"

namespace korven {

HDDEDATA wildConnectPairs(const DdeTransaction& transaction) {
    const HSZ service = ddeServiceHandle();
    const HSZ system = systemTopicHandle();
    if (service == nullptr || system == nullptr) {
        return nullptr;
    }
    // String handles are atoms: equal names (any letter case) have equal values.
    if (transaction.item != nullptr && keyOf(transaction.item) != keyOf(service)) {
        return nullptr;
    }
    std::vector<HSZPAIR> pairs;
    auto offer = [&](HSZ topic) {
        if (transaction.topic == nullptr || keyOf(transaction.topic) == keyOf(topic)) {
            pairs.push_back({service, topic});
        }
    };
    for (const auto& [key, group] : topicTable()) {
        offer(stringHandleOf(key));
    }
    offer(system);
    if (pairs.empty()) {
        return nullptr;
    }
    pairs.push_back({nullptr, nullptr});
    return ddeInstance().createDataHandle(reinterpret_cast<const BYTE*>(pairs.data()),
                                          static_cast<DWORD>(pairs.size() * sizeof(HSZPAIR)), 0,
                                          nullptr, 0, 0);
}

}  // namespace korven
