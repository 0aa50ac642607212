#include "config/TopicConfigLoader.h"

#include <comdef.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "common/ComErrorText.h"
#include "common/ConsoleLog.h"
#include "common/SharedText.h"
#include "common/TickClock.h"
#include "config/ConfigPath.h"
#include "config/DataAccessSetting.h"
#include "config/ReconnectSetting.h"
#include "opc/TopicGroup.h"
#include "opc/TopicTable.h"

namespace korven {

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

namespace {

void logCutSectionList(const std::vector<std::string>& names) {
    std::wstring line = L"セクションの一覧が長すぎて全部は読めません。";
    if (names.empty()) {
        line += L"読めたセクションはありません。";
    } else {
        line += L"最後に読んだセクションは「" + logName(names.back().c_str()) + L"」。";
    }
    logError(line);
}

void logLoadFault(const char* what) {
    try {
        std::wstring line = L"トピック設定の読み込みに失敗。";
        if (*what != '\0') {
            line += L"(" + logName(what) + L")";
        }
        logError(line);
    } catch (...) {
        // Nothing more can be said; start-up fails all the same.
    }
}

bool loadSections() {
    const auto path = configFilePath();
    if (!path) {
        return false;
    }
    char buffer[kSectionListRoom] = {};
    const DWORD returned = GetPrivateProfileSectionNamesA(buffer, kSectionListRoom, path->c_str());
    const SectionList sections = readSectionList(buffer, kSectionListRoom, returned);
    if (sections.cut) {
        logCutSectionList(sections.names);
    }
    if (sections.names.empty()) {
        // Most often a file in another folder than the one started from.
        logInfo(L"「" + logName(path->c_str()) + L"」に設定されたトピックがありません。");
    }

    for (const std::string& section : sections.names) {
        char progId[kKeyValueRoom] = {};
        char node[kKeyValueRoom] = {};
        GetPrivateProfileStringA(section.c_str(), "ProgID", kDefaultProgId, progId, kKeyValueRoom,
                                 path->c_str());
        GetPrivateProfileStringA(section.c_str(), "Node", "", node, kKeyValueRoom, path->c_str());
        char reconnect[kKeyValueRoom] = {};
        GetPrivateProfileStringA(section.c_str(), "Reconnect", "", reconnect, kKeyValueRoom,
                                 path->c_str());
        char dataAccessValue[kKeyValueRoom] = {};
        GetPrivateProfileStringA(section.c_str(), "DataAccess", "", dataAccessValue,
                                 kKeyValueRoom, path->c_str());

        if (lstrcmpiA(section.c_str(), "SYSTEM") == 0) {
            logError(L"「SYSTEM」は予約されている名前です。");
            return false;
        }
        const std::optional<DWORD> reconnectSeconds = parseReconnectSeconds(reconnect);
        if (!reconnectSeconds) {
            logError(L"「" + logName(section.c_str()) + L"」のReconnect=" + logName(reconnect) +
                     L"は使えません。(0、または5～3600秒)");
            return false;
        }
        const std::optional<DataAccess> dataAccess = parseDataAccess(dataAccessValue);
        if (!dataAccess) {
            logError(L"「" + logName(section.c_str()) + L"」のDataAccess=" +
                     logName(dataAccessValue) + L"は使えません。(auto、1.0、2.0)");
            return false;
        }
        std::wstring settings = L"「" + logName(section.c_str()) + L"」の設定。 Node=" +
                                logName(node) + L" ProgID=" + logName(progId);
        if (*reconnectSeconds != 0) {
            settings += L" Reconnect=" + std::to_wstring(*reconnectSeconds);
        }
        if (*dataAccessValue != '\0') {
            settings += L" DataAccess=" + logName(dataAccessValue);
        }
        logInfo(settings);

        std::unique_ptr<TopicGroup> group;
        HRESULT hr = S_OK;
        try {
            group = std::make_unique<TopicGroup>(
                SharedText::fromNarrow(progId), SharedText::fromNarrow(node),
                SharedText::fromNarrow(section.c_str()), *reconnectSeconds, *dataAccess);
            hr = group->awaitFirstConnection(tickCount() + kFirstConnectionWaitMs);
        } catch (const _com_error& error) {
            hr = error.Error();
        }
        if (FAILED(hr)) {
            logError(topicErrorMessage(section.c_str(), progId, hr));
            // A topic set to reconnect is served without its server and
            // connects later; a ProgID this computer does not know stays
            // unknown, whatever the setting.
            if (group == nullptr || *reconnectSeconds == 0 || hr == CO_E_CLASSSTRING) {
                // A topic that never was says nothing of its release.
                if (group != nullptr) {
                    group->sayRelease = false;
                }
                return false;
            }
            logInfo(L"「" + logName(section.c_str()) + L"」は" +
                    std::to_wstring(*reconnectSeconds) + L"秒ごとに接続を試みます。");
        } else {
            logInfo(L"「" + logName(section.c_str()) + L"」のインスタンス生成。");
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

}  // namespace

bool loadTopicConfiguration() {
    // Whatever is raised (an allocation that fails in a name or a log line)
    // fails start-up here rather than unwinding through it.
    try {
        return loadSections();
    } catch (const std::exception& error) {
        logLoadFault(error.what());
    } catch (...) {
        logLoadFault("");
    }
    return false;
}

}  // namespace korven
