#pragma once
// The status page: one tab per topic, showing the selected topic's server
// status and group parameters.
#include <windows.h>

namespace korven {

class TopicGroup;

void setupTopicTabs(HWND dialog);
void refreshStatusPage();
// The group of the selected tab, or null when there is none.
TopicGroup* selectedTopicGroup();

}  // namespace korven
