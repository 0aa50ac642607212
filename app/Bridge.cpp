#include "app/Bridge.h"

#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>
#include <string>

#include "common/BridgeLock.h"
#include "common/ConsoleLog.h"
#include "config/TopicConfigLoader.h"
#include "dde/AdvisePost.h"
#include "dde/ConversationSweep.h"
#include "dde/DdeService.h"
#include "dde/SystemTopic.h"
#include "opc/TopicGroup.h"
#include "opc/TopicTable.h"
#include "ui/ResourceIds.h"
#include "ui/StatusDialog.h"
#include "ui/StatusPage.h"

namespace korven {
namespace {

// What start-up made, so the exit handler undoes exactly that.
HANDLE gInstanceMutex = nullptr;
bool gComInitialised = false;
bool gDdeStarted = false;
HWND gMainWindow = nullptr;

// How long the exit waits for the log's queued lines to be written.
constexpr ULONGLONG kLogDrainMs = 2000;

}  // namespace

bool startUp() {
    SetLastError(0);
    if (std::atexit(exitHandler) != 0) {
        return false;
    }
    gInstanceMutex = CreateMutexA(nullptr, TRUE, kInstanceMutexName);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        logError(L"二重起動です。");
        return false;
    }
    BridgeLock::initialise();
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        logError(L"ＣＯＭライブラリの初期化に失敗。");
        return false;
    }
    gComInitialised = true;
    // Authentication level none: OPC servers on other nodes may call back.
    if (FAILED(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr))) {
        logError(L"ＣＯＭセキュリティの初期化に失敗。");
        return false;
    }
    gDdeStarted = true;
    if (!registerDdeService()) {
        return false;
    }
    if (ddemlIsWine()) {
        AdvisePost::giveEachLinkItsAtom(true);
        logInfo(L"WineのDDEMLを検出。アドバイス通知の項目名アトムを各リンクに補います。");
    }
    return loadTopicConfiguration();
}

bool createMainWindow(HINSTANCE instance, int showState) {
    InitCommonControls();
    gMainWindow =
        CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_STATUS), nullptr, statusDialogProc, 0);
    if (gMainWindow == nullptr) {
        return false;
    }
    // Lower-right corner of the window on the lower-right corner of the work area.
    RECT workArea{};
    RECT window{};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    GetWindowRect(gMainWindow, &window);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    MoveWindow(gMainWindow, workArea.right - width, workArea.bottom - height, width, height, TRUE);
    ShowWindow(gMainWindow, showState);
    return true;
}

int bridgeMain(HINSTANCE instance, int showState) {
    // The log writes code page 932 itself (see ConsoleLog), so there is no
    // locale to set up here.
    logRawLine(std::wstring(L"      ======== ") + kProductTitle + L" ========");
    if (!startUp()) {
        return kFailedStartExitCode;
    }
    logInfo(L"スタートアップ完了。");
    if (!createMainWindow(instance, showState)) {
        return kFailedStartExitCode;
    }
    refreshStatusPage();

    MSG message{};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(gMainWindow, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    const int exitCode = static_cast<int>(message.wParam);
    logInfo(L"終了コード(" + std::to_wstring(exitCode) + L")。");
    return exitCode;
}

void onTickTimer() {
    for (auto& [key, group] : topicTable()) {
        group->tick();
    }
    postTopicStatesWhenChanged();
}

void onStatusTimer() {
    sweepDeadConversations();
    refreshStatusPage();
}

void exitHandler() {
    // Every topic's server thread starts its release at once, so the waits
    // overlap: however many servers do not answer, the end comes within one
    // close deadline.
    TopicTable& table = topicTable();
    for (auto& [key, group] : table) {
        try {
            group->beginClose();
        } catch (...) {
        }
    }
    // Each group leaves the table before it is destroyed: a DDE transaction
    // that arrives during its release then finds no topic for it.
    while (!table.empty()) {
        auto node = table.extract(table.begin());
        node.mapped().reset();
    }
    if (gDdeStarted) {
        forgetTopicStates();
        unregisterDdeService();
        gDdeStarted = false;
    }
    if (gComInitialised) {
        CoUninitialize();
        gComInitialised = false;
    }
    if (gInstanceMutex != nullptr) {
        CloseHandle(gInstanceMutex);
        gInstanceMutex = nullptr;
    }
    BridgeLock::remove();
    logInfo(L"終了。");
    // A normal exit loses no line; an output that takes nothing does not
    // hold the exit.
    drainLog(kLogDrainMs);
}

}  // namespace korven
