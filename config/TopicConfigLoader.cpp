#include "config/TopicConfigLoader.h"

#include <comdef.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/ComErrorText.h"
#include "common/ComMemory.h"
#include "common/ConsoleLog.h"
#include "common/MessageWait.h"
#include "common/SharedText.h"
#include "common/TextConversion.h"
#include "common/TickClock.h"
#include "config/ConfigPath.h"
#include "config/ArraysSetting.h"
#include "config/DataAccessSetting.h"
#include "config/QualitySetting.h"
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

// One section as start-up reads it: its keys, and the topic made for it.
struct SectionStart {
    std::string section;
    char progId[kKeyValueRoom] = {};
    char node[kKeyValueRoom] = {};
    char reconnect[kKeyValueRoom] = {};
    char dataAccessValue[kKeyValueRoom] = {};
    char qualityValue[kKeyValueRoom] = {};
    char arraysValue[kKeyValueRoom] = {};
    DWORD reconnectSeconds = 0;
    DataAccess dataAccess = DataAccess::Auto;
    QualityMarks quality = QualityMarks::Hide;
    ArrayTexts arrays = ArrayTexts::Error;
    std::unique_ptr<TopicGroup> group;
    HRESULT hr = S_OK;  // a failure to make the topic at all
};

void readKeys(SectionStart& start, const char* path) {
    const char* section = start.section.c_str();
    GetPrivateProfileStringA(section, "ProgID", kDefaultProgId, start.progId, kKeyValueRoom, path);
    GetPrivateProfileStringA(section, "Node", "", start.node, kKeyValueRoom, path);
    GetPrivateProfileStringA(section, "Reconnect", "", start.reconnect, kKeyValueRoom, path);
    GetPrivateProfileStringA(section, "DataAccess", "", start.dataAccessValue, kKeyValueRoom, path);
    GetPrivateProfileStringA(section, "Quality", "", start.qualityValue, kKeyValueRoom, path);
    GetPrivateProfileStringA(section, "Arrays", "", start.arraysValue, kKeyValueRoom, path);
}

// The line that refuses a key's value, naming the values it takes.
std::wstring refusal(const char* section, const char* key, const char* value,
                     const wchar_t* allowed) {
    return L"「" + logName(section) + L"」の" + logName(key) + L"=" + logName(value) +
           L"は使えません。(" + allowed + L")";
}

// The line that stops start-up at a section whose keys cannot be used, or
// nothing when they can (then its settings are taken into `start`).
std::optional<std::wstring> keyFault(SectionStart& start) {
    const char* section = start.section.c_str();
    if (lstrcmpiA(section, "SYSTEM") == 0) {
        return L"「SYSTEM」は予約されている名前です。";
    }
    // The keys in the order they are read: the first that cannot be used is
    // refused, naming the values it takes.
    std::optional<std::wstring> fault;
    const auto take = [&](const char* key, const char* value, auto parsed, auto& setting,
                          const wchar_t* allowed) {
        if (fault) {
            return;
        }
        if (parsed) {
            setting = *parsed;
        } else {
            fault = refusal(section, key, value, allowed);
        }
    };
    take("Reconnect", start.reconnect, parseReconnectSeconds(start.reconnect),
         start.reconnectSeconds, L"0、または5～3600秒");
    take("DataAccess", start.dataAccessValue, parseKeyWord(start.dataAccessValue, kDataAccessWords),
         start.dataAccess, L"auto、1.0、2.0");
    take("Quality", start.qualityValue, parseKeyWord(start.qualityValue, kQualityWords),
         start.quality, L"hide、mark、strict");
    take("Arrays", start.arraysValue, parseKeyWord(start.arraysValue, kArraysWords), start.arrays,
         L"error、tabs");
    return fault;
}

// Looked up on this computer, as the connection will (also for a server on
// another node); a name that cannot be read is left to the connection.
bool progIdUnknown(const char* progId) {
    try {
        BstrPtr wide(narrowToWide(progId));
        CLSID clsid{};
        return wide.get() != nullptr && CLSIDFromString(wide.get(), &clsid) == CO_E_CLASSSTRING;
    } catch (const _com_error&) {
        return false;
    }
}

std::wstring settingsLine(const SectionStart& start) {
    std::wstring settings = L"「" + logName(start.section.c_str()) + L"」の設定。 Node=" +
                            logName(start.node) + L" ProgID=" + logName(start.progId);
    if (start.reconnectSeconds != 0) {
        settings += L" Reconnect=" + std::to_wstring(start.reconnectSeconds);
    }
    if (start.dataAccessValue[0] != '\0') {
        settings += L" DataAccess=" + logName(start.dataAccessValue);
    }
    if (start.qualityValue[0] != '\0') {
        settings += L" Quality=" + logName(start.qualityValue);
    }
    if (start.arraysValue[0] != '\0') {
        settings += L" Arrays=" + logName(start.arraysValue);
    }
    return settings;
}

// Waits, dispatching messages, until every topic's first connection has an
// outcome or the deadline has passed.
void awaitFirstConnections(const std::vector<SectionStart>& starts, ULONGLONG deadline) {
    while (true) {
        std::vector<HANDLE> waiting;
        for (const SectionStart& start : starts) {
            if (start.group != nullptr && !start.group->firstConnectionSettled()) {
                waiting.push_back(start.group->replyEvent());
            }
        }
        const ULONGLONG now = tickCount();
        if (waiting.empty() || now >= deadline) {
            return;
        }
        // Beyond what one wait can watch, the rest are looked at in turns.
        constexpr ULONGLONG kPollMs = 50;
        ULONGLONG until = deadline;
        if (waiting.size() >= MAXIMUM_WAIT_OBJECTS) {
            waiting.resize(MAXIMUM_WAIT_OBJECTS - 1);
            until = std::min(deadline, now + kPollMs);
        }
        waitDispatching(waiting.data(), static_cast<DWORD>(waiting.size()), until);
        MSG quit{};
        if (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) {
            return;  // the end is asked for: nothing more is awaited
        }
    }
}

// The topics made for sections that start-up never reported end silently,
// their waits overlapping.
void discardUnreported(std::vector<SectionStart>& starts, size_t from) {
    for (size_t i = from; i < starts.size(); ++i) {
        if (starts[i].group != nullptr) {
            starts[i].group->unannounced = true;
            starts[i].group->beginClose();
        }
    }
    for (size_t i = from; i < starts.size(); ++i) {
        starts[i].group.reset();
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

    // Every topic's first connection starts at once, up to the first section
    // whose keys cannot be used; start-up waits for them all together.
    std::vector<SectionStart> starts;
    starts.reserve(sections.names.size());
    std::optional<std::wstring> stop;
    ULONGLONG deadline = 0;
    for (const std::string& section : sections.names) {
        SectionStart& start = starts.emplace_back();
        start.section = section;
        readKeys(start, path->c_str());
        stop = keyFault(start);
        if (stop) {
            starts.pop_back();
            break;
        }
        // A ProgID this computer does not know stops the start whatever the
        // section says: the sections after it are not tried.
        if (progIdUnknown(start.progId)) {
            start.hr = CO_E_CLASSSTRING;
            break;
        }
        try {
            if (deadline == 0) {
                deadline = tickCount() + kFirstConnectionWaitMs;
            }
            start.group = std::make_unique<TopicGroup>(
                SharedText::fromNarrow(start.progId), SharedText::fromNarrow(start.node),
                SharedText::fromNarrow(section.c_str()), start.reconnectSeconds, start.dataAccess);
            start.group->qualityMarks = start.quality;
            start.group->arrayTexts = start.arrays;
        } catch (const _com_error& error) {
            start.hr = error.Error();
        }
    }
    try {
        awaitFirstConnections(starts, deadline);
    } catch (...) {
        discardUnreported(starts, 0);
        throw;
    }

    // The outcomes in section order, each section's lines together.
    for (size_t i = 0; i < starts.size(); ++i) {
        SectionStart& start = starts[i];
        const char* section = start.section.c_str();
        HRESULT hr = start.hr;
        try {
            logInfo(settingsLine(start));
            if (start.group != nullptr) {
                // Settled already, or past the deadline: nothing more is awaited.
                hr = start.group->awaitFirstConnection(0);
            }
        } catch (...) {
            discardUnreported(starts, i);
            throw;
        }
        if (FAILED(hr)) {
            logError(topicErrorMessage(section, start.progId, hr));
            // A topic set to reconnect is served without its server and
            // connects later; a ProgID this computer does not know stays
            // unknown, whatever the setting.
            if (start.group == nullptr || start.reconnectSeconds == 0 || hr == CO_E_CLASSSTRING) {
                // A topic that never was says nothing of its release.
                if (start.group != nullptr) {
                    start.group->sayRelease = false;
                    start.group->beginClose();
                }
                discardUnreported(starts, i + 1);
                return false;
            }
            logInfo(L"「" + logName(section) + L"」は" + std::to_wstring(start.reconnectSeconds) +
                    L"秒ごとに接続を試みます。");
        } else {
            logInfo(L"「" + logName(section) + L"」のインスタンス生成。");
        }
        // Names that differ only in letter case are one DDE topic: the first
        // stays, and a later one is released at once rather than left
        // connected where no client can reach it.
        const HandleKey key = keyOf(start.group->topicHandle);
        if (topicTable().count(key) == 0) {
            topicTable().emplace(key, std::move(start.group));
        } else {
            start.group.reset();
        }
    }
    if (stop) {
        logError(*stop);
        return false;
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
