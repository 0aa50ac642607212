// The status window from its real resources and procedure, over topic groups
// with fake OPC servers: tabs, page fields, menus per tab and speed, always on
// top, hiding, the tray icon; and the texts of the page's fields.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>

#include "FakeDdeInstance.h"
#include "FakeOpcServer.h"
#include "LogCapture.h"
#include "opc/ShutdownSink.h"
#include "opc/TopicGroup.h"
#include "opc/TopicTable.h"
#include "ui/ResourceIds.h"
#include "ui/StatusDialog.h"
#include "ui/StatusPage.h"
#include "ui/StatusTexts.h"
#include "ui/TrayIcon.h"

namespace korven {
namespace {

TEST(StatusTexts, DeadbandIsTruncatedToThousandths) {
    EXPECT_EQ(deadbandText(0.0f), "0.000");
    EXPECT_EQ(deadbandText(0.05f), "0.050");
    EXPECT_EQ(deadbandText(0.7f), "0.699");
    EXPECT_EQ(deadbandText(12.5f), "12.500");
    EXPECT_EQ(deadbandText(100.0f), "100.000");
}

TEST(StatusTexts, StatesAndHandles) {
    const char* expected[] = {"UNKNOWN",   "RUNNING", "FAILED",    "NOCONFIG",
                              "SUSPENDED", "TEST",    "COMMFAULT", "UNKNOWN"};
    for (DWORD state = 0; state <= 7; ++state) {
        EXPECT_STREQ(serverStateText(state), expected[state]) << state;
    }
    EXPECT_STREQ(serverStateText(0xFFFFFFFF), "UNKNOWN");
    EXPECT_EQ(hexWordText(0x411), "0x00000411");
    EXPECT_EQ(hexWordText(0xAB), "0x000000AB");
    EXPECT_EQ(hexWordText(0xC0DEFACE), "0xC0DEFACE");
}

class StatusWindowTest : public ::testing::Test {
  protected:
    void addTopics(std::initializer_list<const wchar_t*> names) {
        for (const wchar_t* name : names) {
            servers.push_back(std::make_unique<test::FakeOpcServer>());
            auto group = test::makeTopicGroup(name);
            const HandleKey key = keyOf(group->topicHandle);
            topicTable().emplace(key, std::move(group));
        }
    }
    void open() {
        window = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_STATUS),
                                    nullptr, statusDialogProc, 0);
        ASSERT_NE(window, nullptr);
        menu = GetMenu(window);
        refresh();
    }
    // A page refresh and the topics' answers to it.
    void refresh() {
        refreshStatusPage();
        for (auto& [key, group] : topicTable()) {
            group->takeReplies();
        }
    }
    void TearDown() override {
        if (window) {
            DestroyWindow(window);
            MSG quit;
            PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        }
        topicTable().clear();
    }

    std::string text(int id) {
        char buffer[256] = {};
        GetDlgItemTextA(window, id, buffer, sizeof buffer);
        return buffer;
    }
    bool checked(UINT id) { return (GetMenuState(menu, id, MF_BYCOMMAND) & MF_CHECKED) != 0; }
    bool greyed(UINT id) { return (GetMenuState(menu, id, MF_BYCOMMAND) & MF_GRAYED) != 0; }
    DWORD checkedSpeed() {
        DWORD found = 99;
        for (DWORD m = 0; m < 4; ++m) {
            if (checked(IDM_SPEED_HIGH + m)) {
                EXPECT_EQ(found, 99u) << "two speeds checked";
                found = m;
            }
        }
        return found;
    }
    void command(UINT id) { SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    void selectTab(int index) {
        HWND tabs = GetDlgItem(window, IDC_TOPIC_TABS);
        SendMessageA(tabs, TCM_SETCURSEL, index, 0);
        NMHDR header{tabs, IDC_TOPIC_TABS, static_cast<UINT>(TCN_SELCHANGE)};
        SendMessageA(window, WM_NOTIFY, IDC_TOPIC_TABS, reinterpret_cast<LPARAM>(&header));
    }
    TopicGroup& groupAt(size_t index) {
        auto it = topicTable().begin();
        std::advance(it, index);
        return *it->second;
    }

    test::FakeDdeInstance dde;
    test::FakeServerActivation activation;
    std::vector<std::unique_ptr<test::FakeOpcServer>> servers;
    test::LogCapture log;
    HWND window = nullptr;
    HMENU menu = nullptr;
};

TEST_F(StatusWindowTest, MenuFollowsTheSelectedTopicsSpeed) {
    addTopics({L"A", L"B"});
    open();
    command(IDM_SPEED_HIGH);  // first tab's group
    EXPECT_EQ(groupAt(0).speedMode, 0u);
    EXPECT_EQ(groupAt(1).speedMode, 1u);
    selectTab(1);
    EXPECT_EQ(checkedSpeed(), 1u);
    command(IDM_SPEED_PAUSE);
    EXPECT_EQ(groupAt(1).speedMode, 3u);
    EXPECT_EQ(checkedSpeed(), 3u);
    EXPECT_TRUE(greyed(IDM_REFRESH_NOW));
    EXPECT_EQ(text(IDC_CLIENT_HANDLE), hexWordText(keyOf(groupAt(1).topicHandle)));
    selectTab(0);
    EXPECT_EQ(checkedSpeed(), 0u);
    EXPECT_FALSE(greyed(IDM_REFRESH_NOW));
    EXPECT_EQ(text(IDC_CLIENT_HANDLE), hexWordText(keyOf(groupAt(0).topicHandle)));
    command(IDM_SPEED_LOW);
    EXPECT_EQ(groupAt(0).speedMode, 2u);
    EXPECT_EQ(groupAt(1).speedMode, 3u);
}

TEST_F(StatusWindowTest, TrayIconRecordAndMenu) {
    addTopics({L"A"});
    open();
    const NOTIFYICONDATAA& record = trayIconRecord();
    EXPECT_EQ(record.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V1_SIZE));
    EXPECT_EQ(record.hWnd, window);
    EXPECT_EQ(record.uID, 0u);
    EXPECT_EQ(record.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(record.uCallbackMessage, 1024u);
    EXPECT_EQ(record.hIcon, LoadIconA(nullptr, IDI_APPLICATION));
    // The first-version tip field: 64 bytes.
    EXPECT_EQ(std::string(record.szTip, 64), std::string("KORVEN") + std::string(58, 0));
    HMENU popup = GetSubMenu(trayMenu(), 0);
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(GetMenuItemCount(trayMenu()), 1);
    EXPECT_EQ(GetMenuItemCount(popup), 1);
    EXPECT_EQ(GetMenuItemID(popup, 0), static_cast<UINT>(IDM_EXIT));
    char label[16] = {};
    GetMenuStringA(popup, 0, label, sizeof label, MF_BYPOSITION);
    EXPECT_STREQ(label, "&Exit");
}

// A field is given a text only when it changes: every change must still
// show, whether the new text is as long as the old, longer, shorter or empty,
// and in the wide vendor field too.
TEST_F(StatusWindowTest, FieldsShowEveryChangeOfTheirText) {
    addTopics({L"A"});
    test::FakeOpcServer& server = *servers[0];
    server.status.wMajorVersion = 1;
    server.status.wBuildNumber = 1;
    server.vendor = L"Vendor 1";
    open();
    auto vendor = [this] {
        wchar_t buffer[64] = {};
        GetDlgItemTextW(window, IDC_VENDOR_INFO, buffer, 64);
        return std::wstring(buffer);
    };
    EXPECT_EQ(text(IDC_SERVER_VERSION), "1.0.1");
    EXPECT_EQ(vendor(), L"Vendor 1");
    const struct {
        WORD build;
        const wchar_t* vendor;
        const char* version;
    } steps[] = {{2, L"Vendor 2", "1.0.2"},
                 {12, L"Vendor 12", "1.0.12"},
                 {3, L"", "1.0.3"},
                 {3, L"Vendor 3", "1.0.3"}};
    for (const auto& step : steps) {
        server.status.wBuildNumber = step.build;
        server.vendor = step.vendor;
        refresh();
        EXPECT_EQ(text(IDC_SERVER_VERSION), step.version);
        EXPECT_EQ(vendor(), step.vendor);
    }
}

TEST_F(StatusWindowTest, WithoutTopicsThePageIsEmptyAndCommandsTouchNoGroup) {
    open();
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_TOPIC_TABS, TCM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(selectedTopicGroup(), nullptr);
    EXPECT_EQ(text(IDC_UPDATE_RATE), "");
    EXPECT_EQ(text(IDC_SERVER_STATE), "");
    command(IDM_SPEED_PAUSE);
    command(IDM_REFRESH_NOW);
    selectTab(0);
    EXPECT_EQ(checkedSpeed(), 3u);
}

}  // namespace
}  // namespace korven
