#include "ui/StatusPage.h"

#include "common/ThreadAffinity.h"

#include <commctrl.h>

#include <cwchar>
#include <iterator>
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

// A control is given its text only when the text differs from what it
// shows: under Wine every WM_SETTEXT lays the text out and repaints it, and
// most fields stay the same from one second to the next. A text that may
// have been cut short by the buffer is never taken as equal.
void setText(int id, const std::string& text) {
    HWND control = GetDlgItem(gDialog, id);
    char shown[64];
    const int length = GetWindowTextA(control, shown, sizeof shown);
    if (text.size() + 1 < sizeof shown && static_cast<size_t>(length) == text.size() &&
        text.compare(0, text.size(), shown, static_cast<size_t>(length)) == 0) {
        return;
    }
    SetWindowTextA(control, text.c_str());
}

void setWideText(int id, const wchar_t* text) {
    HWND control = GetDlgItem(gDialog, id);
    wchar_t shown[256];
    const int length = GetWindowTextW(control, shown, static_cast<int>(std::size(shown)));
    const size_t wanted = std::wcslen(text);
    if (wanted + 1 < std::size(shown) && static_cast<size_t>(length) == wanted &&
        std::wmemcmp(text, shown, wanted) == 0) {
        return;
    }
    SetWindowTextW(control, text);
}

void setNumber(int id, const char* format, DWORD value) {
    char text[16] = {};
    wsprintfA(text, format, value);
    setText(id, text);
}

// With no topic there is nothing to show: every field is empty.
void clearPage() {
    setWideText(IDC_VENDOR_INFO, L"");
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
    // A snapshot that comes in for the shown topic is shown at once.
    setStatusTaken([](const TopicGroup& group) {
        if (&group == selectedTopicGroup()) {
            showStatusPage();
        }
    });
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
    checkMainThread("the status page");
    for (auto& [key, group] : topicTable()) {
        group->refreshStatus();
    }
    showStatusPage();
}

void showStatusPage() {
    checkMainThread("the status page");
    if (gDialog == nullptr) {
        return;
    }
    TopicGroup* group = selectedTopicGroup();
    if (group == nullptr) {
        clearPage();
        return;
    }
    const OPCSERVERSTATUS& status = group->serverStatus;
    setWideText(IDC_VENDOR_INFO, status.szVendorInfo ? status.szVendorInfo : L"");
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
