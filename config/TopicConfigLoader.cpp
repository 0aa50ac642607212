#include "config/TopicConfigLoader.h"

#include <comdef.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "common/ComErrorText.h"
#include "common/ConsoleLog.h"
#include "common/SharedText.h"
#include "config/ConfigPath.h"
#include "opc/TopicGroup.h"
#include "opc/TopicTable.h"

namespace korven {

std::vector<std::string> parseSectionNames(const char* list, size_t size) {
    std::vector<std::string> names;
    size_t at = 0;
    while (at < size && list[at] != '\0') {
        const void* end = std::memchr(list + at, '\0', size - at);
        const size_t length =
            end ? static_cast<size_t>(static_cast<const char*>(end) - (list + at)) : size - at;
        names.emplace_back(list + at, length);
        at += length + 1;
    }
    return names;
}

std::wstring topicErrorMessage(const char* section, const char* progId, HRESULT hr) {
    const std::wstring code = L"(" + std::to_wstring(static_cast<long>(hr)) + L")";
    if (hr == E_FAIL) {
        return L"「" + logName(section) + L"」へ接続出来ません。" + code;
    }
    if (hr == CO_E_CLASSSTRING) {
        return L"「" + logName(section) + L"」に「" + logName(progId) + L"」が存在しません。" +
               code;
    }
    return L"「" + logName(section) + L"」" + logName(comErrorText(hr).c_str()) + code;
}

bool loadTopicConfiguration() {
    const auto path = configFilePath();
    if (!path) {
        return false;
    }
    char sectionList[kSectionListRoom] = {};
    const DWORD listLength =
        GetPrivateProfileSectionNamesA(sectionList, kSectionListRoom, path->c_str());
    const auto sections =
        parseSectionNames(sectionList, std::min<size_t>(listLength + 1, kSectionListRoom));

    for (const std::string& section : sections) {
        char progId[kKeyValueRoom] = {};
        char node[kKeyValueRoom] = {};
        GetPrivateProfileStringA(section.c_str(), "ProgID", kDefaultProgId, progId, kKeyValueRoom,
                                 path->c_str());
        GetPrivateProfileStringA(section.c_str(), "Node", "", node, kKeyValueRoom, path->c_str());

        if (lstrcmpiA(section.c_str(), "SYSTEM") == 0) {
            logError(L"「SYSTEM」は予約されている名前です。");
            return false;
        }
        logInfo(L"「" + logName(section.c_str()) + L"」の設定。 Node=" + logName(node) +
                L" ProgID=" + logName(progId));

        std::unique_ptr<TopicGroup> group;
        try {
            group = std::make_unique<TopicGroup>(SharedText::fromNarrow(progId),
                                                 SharedText::fromNarrow(node),
                                                 SharedText::fromNarrow(section.c_str()));
        } catch (const _com_error& error) {
            logError(topicErrorMessage(section.c_str(), progId, error.Error()));
            return false;
        }
        // Names that differ only in letter case are one DDE topic: the first
        // stays, and a later one is released at once rather than left
        // connected where no client can reach it.
        const HandleKey key = keyOf(group->topicHandle);
        if (topicTable().count(key) == 0) {
            topicTable().emplace(key, std::move(group));
        }
    }
    return true;
}

}  // namespace korven
