#pragma once
// The status page: one tab per topic, showing the selected topic's server
// status and group parameters. Main thread only (checked), as the window.
#include <windows.h>

namespace korven {

class TopicGroup;

void setupTopicTabs(HWND dialog);
// Asks every topic for its status snapshot (each answers when its server
// does) and shows the selected topic's as it stands.
void refreshStatusPage();
// Shows the selected topic's fields as they stand, asking nothing.
void showStatusPage();
// The group of the selected tab, or null when there is none.
TopicGroup* selectedTopicGroup();

}  // namespace korven
