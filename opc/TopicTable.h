#pragma once
// Every configured topic's group, keyed by the topic's DDE string handle.
// Filled during start-up, emptied by the exit handler, unchanged in between.
// Main thread only (checked).
#include <map>
#include <memory>

#include "common/HandleKey.h"

namespace korven {

class TopicGroup;

using TopicTable = std::map<HandleKey, std::unique_ptr<TopicGroup>>;

TopicTable& topicTable();

// The group of a topic handle, or null.
TopicGroup* findTopicGroup(HSZ topic);

}  // namespace korven
