#include "dde/SystemTopic.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "common/HandleKey.h"
#include "dde/AdvisePost.h"
#include "dde/DdeInstance.h"
#include "dde/DdeService.h"
#include "dde/ItemValueText.h"
#include "opc/TopicGroup.h"
#include "opc/TopicTable.h"
#include "ui/StatusTexts.h"

namespace korven {
namespace {

constexpr wchar_t kSysItems[] = L"SysItems\tTopics\tFormats\tStatus\tTopicItemList\tTopicStates";
// The one item a client may link: every topic's state, posted when it changes.
constexpr char kTopicStates[] = "TopicStates";
constexpr wchar_t kTopicStatesWide[] = L"TopicStates";
// CF_TEXT first: it is the one format every transaction of the bridge serves
// (advise links exist in CF_TEXT only).
constexpr wchar_t kFormats[] = L"TEXT\tUNICODETEXT";
constexpr wchar_t kStatus[] = L"Ready";

std::wstring topicsText() {
    std::wstring text;
    for (const auto& [key, group] : topicTable()) {
        text += group->topicName.str();
        text += L'\t';
    }
    return text + L"System";
}

std::wstring topicStatesText() {
    std::wstring text;
    for (const auto& [key, group] : topicTable()) {
        if (!text.empty()) {
            text += L"\r\n";
        }
        text += group->topicName.str();
        text += L'\t';
        if (group->online()) {
            const char* word =
                serverStateText(static_cast<DWORD>(group->serverStatus.dwServerState));
            text.append(word, word + std::strlen(word));
        } else {
            text += L"OFFLINE";
        }
    }
    return text;
}

// What TopicStates' links last got, and the item's handle once made.
std::wstring gPostedStates;
HSZ gTopicStatesHandle = nullptr;
// A new link waits for the next post: DDEML sends nothing when it starts.
bool gPostDue = false;

// The item's text, or false when the System topic has no such item.
bool itemText(const wchar_t* name, std::wstring& text) {
    if (_wcsicmp(name, L"Topics") == 0) {
        text = topicsText();
    } else if (_wcsicmp(name, L"SysItems") == 0 || _wcsicmp(name, L"TopicItemList") == 0) {
        text = kSysItems;
    } else if (_wcsicmp(name, L"Formats") == 0) {
        text = kFormats;
    } else if (_wcsicmp(name, L"Status") == 0) {
        text = kStatus;
    } else if (_wcsicmp(name, kTopicStatesWide) == 0) {
        text = topicStatesText();
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool isSystemTopic(HSZ topic) {
    const HSZ system = systemTopicHandle();
    return system != nullptr && topic != nullptr && keyOf(topic) == keyOf(system);
}

HDDEDATA systemTopicData(const DdeTransaction& transaction) {
    if (!isTextReplyFormat(transaction.format)) {
        return nullptr;
    }
    // Item names hold at most 255 characters.
    wchar_t name[256] = {};
    if (ddeInstance().queryString(transaction.item, name, 256, CP_WINUNICODE) == 0) {
        return nullptr;
    }
    std::wstring text;
    if (!itemText(name, text)) {
        return nullptr;
    }
    return textReplyHandle(SharedText::fromWide(text.c_str()), transaction.item,
                           transaction.format);
}

bool systemTopicAdvises(const DdeTransaction& transaction) {
    if (transaction.format != CF_TEXT) {
        return false;
    }
    wchar_t name[256] = {};
    if (ddeInstance().queryString(transaction.item, name, 256, CP_WINUNICODE) == 0 ||
        _wcsicmp(name, kTopicStatesWide) != 0) {
        return false;
    }
    gPostDue = true;
    return true;
}

void postTopicStatesWhenChanged() {
    const HSZ system = systemTopicHandle();
    if (system == nullptr) {
        return;
    }
    std::wstring states = topicStatesText();
    if (states == gPostedStates && !gPostDue) {
        return;
    }
    gPostDue = false;
    gPostedStates = std::move(states);
    if (gTopicStatesHandle == nullptr) {
        gTopicStatesHandle = ddeInstance().createStringHandle(kTopicStates, CP_WINANSI);
    }
    if (gTopicStatesHandle != nullptr) {
        AdvisePost::post(system, gTopicStatesHandle);
    }
}

void forgetTopicStates() {
    if (gTopicStatesHandle != nullptr) {
        ddeInstance().freeStringHandle(gTopicStatesHandle);
        gTopicStatesHandle = nullptr;
    }
    gPostedStates.clear();
    gPostDue = false;
}

}  // namespace korven
