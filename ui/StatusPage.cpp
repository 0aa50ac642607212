#include "ui/StatusPage.h"

#include <commctrl.h>

#include <vector>

#include "common/HandleKey.h"
#include "opc/TopicGroup.h"
#include "opc/TopicTable.h"
#include "ui/ResourceIds.h"
#include "ui/StatusTexts.h"

namespace korven {
namespace {

HWND gDialog = nullptr;
// Tab i shows the topic whose key is element i.
std::vector<HandleKey> gTopicTabList;

void setText(int id, const std::string& text) {
    SetWindowTextA(GetDlgItem(gDialog, id), text.c_str());
}

void setNumber(int id, const char* format, DWORD value) {
    char text[16] = {};
    wsprintfA(text, format, value);
    setText(id, text);
}

// With no topic there is nothing to show: every field is empty.
void clearPage() {
    SetWindowTextW(GetDlgItem(gDialog, IDC_VENDOR_INFO), L"");
    for (int id : {IDC_SERVER_VERSION, IDC_BANDWIDTH, IDC_SERVER_STATE, IDC_START_TIME,
                   IDC_CURRENT_TIME, IDC_LAST_UPDATE, IDC_UPDATE_RATE, IDC_TIME_BIAS, IDC_DEADBAND,
                   IDC_LOCALE, IDC_CLIENT_HANDLE, IDC_SERVER_HANDLE}) {
        setText(id, "");
    }
    SendMessageA(GetDlgItem(gDialog, IDC_GROUP_ACTIVE), BM_SETCHECK, BST_UNCHECKED, 0);
}

}  // namespace

void setupTopicTabs(HWND dialog) {
    gDialog = dialog;
    gTopicTabList.clear();
    for (const auto& [key, group] : topicTable()) {
        gTopicTabList.push_back(key);
    }
    HWND tabs = GetDlgItem(dialog, IDC_TOPIC_TABS);
    int index = 0;
    for (const auto& [key, group] : topicTable()) {
        TCITEMA tab{};
        tab.mask = TCIF_TEXT;
        const char* name = nullptr;
        try {
            name = group->topicName.narrow();
        } catch (...) {
            name = nullptr;
        }
        tab.pszText = const_cast<char*>(name ? name : "");
        SendMessageA(tabs, TCM_INSERTITEMA, index, reinterpret_cast<LPARAM>(&tab));
        ++index;
    }
}

TopicGroup* selectedTopicGroup() {
    if (gDialog == nullptr) {
        return nullptr;
    }
    const LRESULT index = SendMessageA(GetDlgItem(gDialog, IDC_TOPIC_TABS), TCM_GETCURSEL, 0, 0);
    if (index < 0 || static_cast<size_t>(index) >= gTopicTabList.size()) {
        return nullptr;
    }
    auto found = topicTable().find(gTopicTabList[static_cast<size_t>(index)]);
    return found == topicTable().end() ? nullptr : found->second.get();
}

void refreshStatusPage() {
    for (auto& [key, group] : topicTable()) {
        group->refreshStatus();
    }
    if (gDialog == nullptr) {
        return;
    }
    TopicGroup* group = selectedTopicGroup();
    if (group == nullptr) {
        clearPage();
        return;
    }
    const OPCSERVERSTATUS& status = group->serverStatus;
    SetWindowTextW(GetDlgItem(gDialog, IDC_VENDOR_INFO),
                   status.szVendorInfo ? status.szVendorInfo : L"");
    char version[40] = {};
    wsprintfA(version, "%u.%u.%u", status.wMajorVersion, status.wMinorVersion, status.wBuildNumber);
    setText(IDC_SERVER_VERSION, version);
    setNumber(IDC_BANDWIDTH, "%lu", status.dwBandWidth);
    setText(IDC_SERVER_STATE, serverStateText(static_cast<DWORD>(status.dwServerState)));
    setText(IDC_START_TIME, formatStatusTime(status.ftStartTime));
    setText(IDC_CURRENT_TIME, formatStatusTime(status.ftCurrentTime));
    setText(IDC_LAST_UPDATE, formatStatusTime(status.ftLastUpdateTime));
    SendMessageA(GetDlgItem(gDialog, IDC_GROUP_ACTIVE), BM_SETCHECK,
                 static_cast<WPARAM>(group->active), 0);
    setNumber(IDC_UPDATE_RATE, "%lu", group->updateRate);
    setNumber(IDC_TIME_BIAS, "%ld", static_cast<DWORD>(group->timeBias));  // signed in the text
    setText(IDC_DEADBAND, deadbandText(group->deadband));
    setText(IDC_LOCALE, hexWordText(group->localeId));
    setText(IDC_CLIENT_HANDLE, hexWordText(group->clientGroupHandle));
    setText(IDC_SERVER_HANDLE, hexWordText(group->serverGroupHandle));
}

}  // namespace korven
