#include "Actions.h"

#include <windows.h>

#include <string>
#include <vector>

#include "OutputSink.h"
#include "TextEscape.h"

namespace windriver {

namespace {

using ddetool::hexNumber;
using ddetool::writeLine;

constexpr DWORD kSendTimeoutMs = 5000;
constexpr DWORD kPollMs = 20;

std::string upper(const std::wstring& word) {
    std::string out;
    for (const wchar_t c : word) {
        out.push_back(c == L'-' ? '-' : static_cast<char>(towupper(c)));
    }
    return out;
}

std::string handleField(HWND hwnd) {
    return "hwnd=" + hexNumber(reinterpret_cast<ULONG_PTR>(hwnd), 1);
}

bool fail(const std::string& word, const std::string& fields) {
    writeLine(word + " FAIL " + fields);
    return false;
}

bool post(const std::string& word, HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    const std::string fields = handleField(hwnd) + " msg=" + hexNumber(msg, 4) +
                               " wparam=" + hexNumber(wparam, 1) +
                               " lparam=" + hexNumber(static_cast<ULONG_PTR>(lparam), 1);
    if (!PostMessageW(hwnd, msg, wparam, lparam)) {
        return fail(word, fields + " error=" + std::to_string(GetLastError()));
    }
    writeLine(word + " OK " + fields);
    return true;
}

// The window that has the keyboard focus in the window's thread, when it is
// the window or one of its children; else the window itself.
HWND focusTarget(HWND hwnd) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    const DWORD thread = GetWindowThreadProcessId(hwnd, nullptr);
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus != nullptr &&
        (info.hwndFocus == hwnd || IsChild(hwnd, info.hwndFocus))) {
        return info.hwndFocus;
    }
    return hwnd;
}

bool text(const std::string& word, HWND hwnd, int id) {
    const HWND control = GetDlgItem(hwnd, id);
    const std::string head = handleField(hwnd) + " id=" + std::to_string(id);
    if (control == nullptr) {
        return fail(word, head + " reason=no-control");
    }
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &length)) {
        return fail(word, head + " reason=timeout");
    }
    std::vector<wchar_t> wide(length + 2, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(control, WM_GETTEXT, wide.size(), reinterpret_cast<LPARAM>(wide.data()),
                        SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied);
    const std::wstring value(wide.data());
    std::vector<char> narrow(length * 2 + 4, '\0');
    SendMessageTimeoutA(control, WM_GETTEXT, narrow.size(), reinterpret_cast<LPARAM>(narrow.data()),
                        SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied);
    const std::string ansi(narrow.data());
    writeLine(word + " OK " + head + " chars=" + std::to_string(value.size()) +
              " utf16=" + ddetool::hexBytes(value.data(), value.size() * sizeof(wchar_t)) +
              " ansi=" + ddetool::hexBytes(ansi) +
              " text=" + ddetool::escape(ddetool::toUtf8(value), false));
    return true;
}

bool waitFor(const std::string& word, const WindowQuery& query, DWORD timeoutMs, bool wantGone,
             bool wantVisible) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (true) {
        const HWND hwnd = findWindow(query);
        if (wantGone && hwnd == nullptr) {
            writeLine(word + " OK");
            return true;
        }
        if (!wantGone && hwnd != nullptr && (IsWindowVisible(hwnd) != FALSE) == wantVisible) {
            writeLine(word + " OK " + handleField(hwnd) + " visible=" + (wantVisible ? "1" : "0"));
            return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return fail(word, "reason=timeout ms=" + std::to_string(timeoutMs));
        }
        Sleep(static_cast<DWORD>(deadline - now < kPollMs ? deadline - now : kPollMs));
    }
}

}  // namespace

bool runStep(const WindowQuery& query, const Step& step) {
    const std::string word = upper(step.word);
    const auto& v = step.values;
    if (step.action == Action::WaitGone) {
        return waitFor(word, query, static_cast<DWORD>(v[0]), true, false);
    }
    if (step.action == Action::WaitVisible) {
        return waitFor(word, query, static_cast<DWORD>(v[1]), false, v[0] != 0);
    }
    const HWND hwnd = findWindow(query);
    if (hwnd == nullptr) {
        return fail(word, "reason=not-found title=" + ddetool::fieldText(query.title));
    }
    switch (step.action) {
        case Action::Find: {
            DWORD pid = 0;
            GetWindowThreadProcessId(hwnd, &pid);
            RECT r{};
            GetWindowRect(hwnd, &r);
            writeLine(word + " OK " + handleField(hwnd) + " pid=" + std::to_string(pid) +
                      " visible=" + (IsWindowVisible(hwnd) ? "1" : "0") +
                      " rect=" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                      std::to_string(r.right) + "," + std::to_string(r.bottom) +
                      " title=" + ddetool::fieldText(query.title));
            return true;
        }
        case Action::PostCommand:
            return post(word, hwnd, WM_COMMAND, static_cast<WPARAM>(v[0]), 0);
        case Action::PostMessage:
            return post(word, hwnd, static_cast<UINT>(v[0]), static_cast<WPARAM>(v[1]),
                        static_cast<LPARAM>(v[2]));
        case Action::Close:
            return post(word, hwnd, WM_CLOSE, 0, 0);
        case Action::KeyEscape: {
            const HWND target = focusTarget(hwnd);
            const UINT scan = MapVirtualKeyW(VK_ESCAPE, MAPVK_VK_TO_VSC);
            const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
            const LPARAM up = down | (1LL << 30) | (1LL << 31);
            const std::string fields =
                handleField(hwnd) + " target=" + hexNumber(reinterpret_cast<ULONG_PTR>(target), 1);
            if (!PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, down) ||
                !PostMessageW(target, WM_KEYUP, VK_ESCAPE, up)) {
                return fail(word, fields + " error=" + std::to_string(GetLastError()));
            }
            writeLine(word + " OK " + fields);
            return true;
        }
        case Action::SendMessage: {
            DWORD_PTR result = 0;
            const std::string fields = handleField(hwnd) +
                                       " msg=" + hexNumber(static_cast<UINT>(v[0]), 4) +
                                       " wparam=" + hexNumber(static_cast<WPARAM>(v[1]), 1) +
                                       " lparam=" + hexNumber(static_cast<ULONG_PTR>(v[2]), 1);
            if (!SendMessageTimeoutW(hwnd, static_cast<UINT>(v[0]), static_cast<WPARAM>(v[1]),
                                     static_cast<LPARAM>(v[2]), SMTO_ABORTIFHUNG, kSendTimeoutMs,
                                     &result)) {
                return fail(word, fields + " reason=timeout");
            }
            writeLine(word + " OK " + fields + " result=" + hexNumber(result, 1));
            return true;
        }
        case Action::Text:
            return text(word, hwnd, static_cast<int>(v[0]));
        case Action::Check: {
            const int id = static_cast<int>(v[0]);
            const HWND control = GetDlgItem(hwnd, id);
            const std::string head = handleField(hwnd) + " id=" + std::to_string(id);
            if (control == nullptr) {
                return fail(word, head + " reason=no-control");
            }
            DWORD_PTR state = 0;
            if (!SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                                     &state)) {
                return fail(word, head + " reason=timeout");
            }
            writeLine(word + " OK " + head + " state=" + std::to_string(state));
            return true;
        }
        case Action::ExStyle:
            writeLine(word + " OK " + handleField(hwnd) + " value=" +
                      hexNumber(static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE)), 8));
            return true;
        case Action::Style:
            writeLine(word + " OK " + handleField(hwnd) + " value=" +
                      hexNumber(static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)), 8));
            return true;
        case Action::WaitVisible:
        case Action::WaitGone:
            break;
    }
    return false;
}

}  // namespace windriver
