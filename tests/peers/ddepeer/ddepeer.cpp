// ddepeer: a real DDEML server for the DDE client's tests.
//
//   ddepeer SERVICE TOPIC [TOPIC...] [--tick MS]
//
// Standard input, one command a line (UTF-8): "post ITEM" (one more update of
// ITEM, DdePostAdvise), "postall" (post every advised item),
// "quit". The end of input also quits. With --tick, every advised item is
// posted each MS milliseconds. Prints "READY" once the service is registered,
// then one line per transaction; "BYE" at the end.
#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CodePageText.h"
#include "CommandLine.h"
#include "OutputSink.h"
#include "PeerServer.h"

namespace {

constexpr UINT kLineMessage = WM_APP + 1;  // lParam: new std::wstring
constexpr UINT kEndMessage = WM_APP + 2;

void readInput(DWORD mainThread) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[1024];
    DWORD got = 0;
    auto send = [&](std::string& line) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        auto* text = new std::wstring(ddetool::inputLineToWide(line));
        if (!PostThreadMessageW(mainThread, kLineMessage, 0, reinterpret_cast<LPARAM>(text))) {
            delete text;
        }
        line.clear();
    };
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                send(pending);
            } else {
                pending.push_back(buffer[i]);
            }
        }
    }
    if (!pending.empty()) {
        send(pending);
    }
    PostThreadMessageW(mainThread, kEndMessage, 0, 0);
}

}  // namespace

int main() {
    const std::vector<std::wstring> args = ddetool::commandLineArguments();

    UINT tickMs = 0;
    std::vector<std::wstring> names;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == L"--tick" && i + 1 < args.size()) {
            tickMs = static_cast<UINT>(std::wcstoul(args[++i].c_str(), nullptr, 10));
        } else {
            names.push_back(args[i]);
        }
    }
    if (names.size() < 2) {
        ddetool::writeErrorLine("usage: ddepeer SERVICE TOPIC [TOPIC...] [--tick MS]");
        return 2;
    }

    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists from here
    ddepeer::PeerServer server(names[0], std::vector<std::wstring>(names.begin() + 1, names.end()));
    if (!server.start()) {
        return 1;
    }
    if (tickMs > 0) {
        SetTimer(nullptr, 0, tickMs, nullptr);
    }
    std::thread(readInput, GetCurrentThreadId()).detach();
    ddetool::writeLine("READY");

    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == nullptr && msg.message == kLineMessage) {
            std::unique_ptr<std::wstring> line(reinterpret_cast<std::wstring*>(msg.lParam));
            if (line->rfind(L"post ", 0) == 0) {
                server.post(line->substr(5));
            } else if (*line == L"postall") {
                server.postAdvised();
            } else if (*line == L"quit") {
                break;
            }
            continue;
        }
        if (msg.hwnd == nullptr && msg.message == kEndMessage) {
            break;
        }
        if (msg.hwnd == nullptr && msg.message == WM_TIMER) {
            server.postAdvised();
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    ddetool::writeLine("BYE");
    return 0;
}
