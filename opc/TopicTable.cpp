#include "opc/TopicTable.h"

#include "common/ThreadAffinity.h"

#include "opc/TopicGroup.h"

namespace korven {
namespace {

// Made before the entry runs, so it outlives the exit handler, which empties it.
TopicTable gTopicTable;

}  // namespace

TopicTable& topicTable() {
    checkMainThread("the topic table");
    return gTopicTable;
}

TopicGroup* findTopicGroup(HSZ topic) {
    checkMainThread("the topic table");
    auto found = gTopicTable.find(keyOf(topic));
    return found == gTopicTable.end() ? nullptr : found->second.get();
}

}  // namespace korven
