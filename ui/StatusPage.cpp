#include "ui/StatusPage.h"

namespace korven {

void setupTopicTabs(HWND) {}

void refreshStatusPage() {}

TopicGroup* selectedTopicGroup() {
    return nullptr;
}

}  // namespace korven
