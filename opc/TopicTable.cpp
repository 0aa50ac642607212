#include "opc/TopicTable.h"

#include "opc/TopicGroup.h"

namespace korven {
namespace {

// Made before the entry runs, so it outlives the exit handler, which empties it.
TopicTable gTopicTable;

}  // namespace

TopicTable& topicTable() {
    return gTopicTable;
}

TopicGroup* findTopicGroup(HSZ topic) {
    auto found = gTopicTable.find(keyOf(topic));
    return found == gTopicTable.end() ? nullptr : found->second.get();
}

}  // namespace korven
