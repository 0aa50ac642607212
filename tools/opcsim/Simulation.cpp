#include "Simulation.h"

#include <algorithm>
#include <vector>

#include "OpcServer.h"
#include "TextScan.h"
#include "ValueText.h"

namespace opcsim {
namespace {

constexpr UINT_PTR kControlTimer = 0x7FFF0001;
constexpr UINT kControlPeriodMs = 50;
constexpr ULONGLONG kIdleLimitMs = 60000;  // started by COM, never used
constexpr UINT kPostedWork = WM_APP + 1;

// The calls a shutdown-during command can name, as the journal names them.
constexpr std::string_view kShutdownDuringCalls[] = {
    "IOPCItemMgt.AddItems",       "IOPCItemMgt.RemoveItems", "IOPCGroupStateMgt.GetState",
    "IOPCGroupStateMgt.SetState", "IOPCAsyncIO.Refresh",     "IOPCServer.GetStatus",
};

std::string readFile(const std::wstring& path, bool* found) {
    *found = false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    *found = true;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        text.append(buffer, got);
    }
    CloseHandle(file);
    return text;
}

}  // namespace

Simulation& Simulation::get() {
    static Simulation simulation;
    return simulation;
}

std::string Simulation::load(const std::wstring& folder) {
    folder_ = folder;
    GetSystemTimeAsFileTime(&startTime_);
    lastUpdate_ = startTime_;
    streamFormat_ = RegisterClipboardFormatA("OPCSTMFORMATDATA");
    std::string text(defaultScenarioText());
    std::string source = "default";
    if (!folder.empty()) {
        journal_ = Journal(folder + L"\\journal.log");
        bool found = false;
        std::string fileText = readFile(folder + L"\\scenario.txt", &found);
        if (found) {
            text = fileText;
            source = "scenario.txt";
        }
    }
    ScenarioResult parsed = parseScenario(text);
    if (!parsed.scenario) {
        journal_.write(JournalLine("Server.Start")
                           .arg("scenario", source)
                           .arg("error", quote(fromUtf8(parsed.error)))
                           .result(OPC_E_INVALIDCONFIGFILE));
        // Every creation then fails with the configuration error.
        scenario_.faults.createInstance = OPC_E_INVALIDCONFIGFILE;
        return source + ": " + parsed.error;
    }
    scenario_ = std::move(*parsed.scenario);
    for (const ItemSpec& spec : scenario_.items) {
        DeviceItem& item = device_[spec.id];
        item.spec = &spec;
        item.value = spec.initial;
        item.quality = spec.quality;
        item.reserved = spec.reserved;
        item.error = spec.error;
        item.behaviour = spec.behaviour;
        item.stamp = startTime_;
    }
    for (const auto& [call, ms] : scenario_.faults.slow) {
        callFaults_.setSlow(call, ms);
    }
    for (const std::string& call : scenario_.faults.hang) {
        callFaults_.hang(call);
    }
    journal_.write(JournalLine("Server.Start")
                       .arg("pid", GetCurrentProcessId())
                       .arg("scenario", source)
                       .arg("items", static_cast<long long>(scenario_.items.size()))
                       .result(S_OK));
    return {};
}

bool Simulation::createWindow(HINSTANCE instance, bool embedded) {
    embedded_ = embedded;
    WNDCLASSW wc{};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"KorvenOpcSimWindow";
    RegisterClassW(&wc);
    window_ = CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                            nullptr);
    if (!window_) {
        return false;
    }
    SetTimer(window_, kControlTimer, kControlPeriodMs, nullptr);
    return true;
}

DeviceItem* Simulation::find(const std::wstring& id) {
    auto it = device_.find(id);
    return it == device_.end() ? nullptr : &it->second;
}

void Simulation::arrive(std::string_view call) {
    shutdownIfArmed(call);
    if (const DWORD ms = callFaults_.slowFor(call)) {
        Sleep(ms);
    }
    hangWhileAsked(call);
}

void Simulation::hangWhileAsked(std::string_view call) {
    std::optional<std::string> by = callFaults_.hungBy(call);
    if (!by || ending()) {
        return;
    }
    const std::string name = quote(fromUtf8(call));
    journal_.write(
        JournalLine("Hang.Begin").arg("call", name).arg("by", quote(fromUtf8(*by))).result(S_OK));
    MSG msg{};
    bool quit = false;
    ++hanging_;
    while (!ending() && callFaults_.hungBy(call)) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            quit = true;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    --hanging_;
    journal_.write(JournalLine("Hang.End")
                       .arg("call", name)
                       .arg("by", ending() ? "\"exit\"" : "\"unhang\"")
                       .result(S_OK));
    if (quit) {
        PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop further out
    }
}

void Simulation::shutdownIfArmed(std::string_view call) {
    auto armed = shutdownDuring_.find(call);
    if (armed == shutdownDuring_.end()) {
        return;
    }
    const std::wstring reason = armed->second;
    shutdownDuring_.erase(armed);
    sendShutdown(reason);
}

int Simulation::sendShutdown(const std::wstring& reason) {
    std::set<OpcServer*> servers = servers_;
    int sent = 0;
    for (OpcServer* server : servers) {
        if (servers_.count(server)) {
            sent += server->requestShutdown(reason);
        }
    }
    return sent;
}

void Simulation::objectDestroyed() {
    if (--objects_ == 0) {
        requestExit("last object released");
    }
}

void Simulation::setTimer(UINT_PTR id, DWORD ms, std::function<void()> onTick) {
    timers_[id] = std::move(onTick);
    SetTimer(window_, id, ms, nullptr);
}

void Simulation::killTimer(UINT_PTR id) {
    if (timers_.erase(id)) {
        KillTimer(window_, id);
    }
}

void Simulation::post(std::function<void()> work) {
    const unsigned long key = nextPost_++;
    posted_[key] = std::move(work);
    PostMessageW(window_, kPostedWork, key, 0);
}

void Simulation::requestExit(const char* why) {
    if (exiting_) {
        return;
    }
    exiting_ = true;
    journal_.write(JournalLine("Server.Exit").arg("reason", quote(fromUtf8(why))).result(S_OK));
    PostQuitMessage(0);
}

LRESULT CALLBACK Simulation::windowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Simulation& sim = get();
    if (msg == WM_TIMER) {
        if (wp == kControlTimer) {
            sim.pollControl();
            if (sim.embedded_ && sim.registered_ && !sim.everHadObject_ && sim.hanging_ == 0 &&
                GetTickCount64() - sim.started_ > kIdleLimitMs) {
                sim.everHadObject_ = true;
                sim.requestExit("no client");
            }
            return 0;
        }
        auto it = sim.timers_.find(wp);
        if (it != sim.timers_.end()) {
            auto tick = it->second;  // the tick may kill or replace its own timer
            tick();
        }
        return 0;
    }
    if (msg == kPostedWork) {
        auto it = sim.posted_.find(static_cast<unsigned long>(wp));
        if (it != sim.posted_.end()) {
            auto work = std::move(it->second);
            sim.posted_.erase(it);
            work();
        }
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// Command files: <folder>\*.cmd, run in name order and deleted. Writers make
// them under another name and rename them, so a file is never read half done.
void Simulation::pollControl() {
    if (folder_.empty()) {
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder_ + L"\\*.cmd").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    std::vector<std::wstring> names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    for (const std::wstring& name : names) {
        const std::wstring path = folder_ + L"\\" + name;
        bool ok = false;
        std::string text = readFile(path, &ok);
        DeleteFileW(path.c_str());
        size_t start = 0;
        while (ok && start < text.size()) {
            size_t end = text.find('\n', start);
            std::string line(trimBlanks(std::string_view(text).substr(
                start, end == std::string::npos ? std::string::npos : end - start)));
            if (!line.empty() && line[0] != '#') {
                runCommand(line);
            }
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
    }
}

void Simulation::runCommand(const std::string& line) {
    size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest =
        space == std::string::npos ? "" : std::string(trimBlanks(line.substr(space + 1)));
    JournalLine entry("Control." + verb);
    if (verb == "slow" || verb == "hang" || verb == "unhang") {
        runFaultCommand(verb, rest, entry);
        return;
    }
    if (verb == "set" || verb == "quality" || verb == "error") {
        size_t split = rest.find(' ');
        const std::wstring id = fromUtf8(rest.substr(0, split));
        const std::string value = split == std::string::npos ? "" : rest.substr(split + 1);
        entry.text("item", id.c_str()).arg("value", quote(fromUtf8(value)));
        DeviceItem* item = find(id);
        if (!item) {
            journal_.write(entry.result(OPC_E_UNKNOWNITEMID));
            return;
        }
        if (verb == "quality" || verb == "error") {
            char* end = nullptr;
            unsigned long long n = std::strtoull(value.c_str(), &end, 0);
            if (value.empty() || value[0] == '-' || *end != '\0' ||
                n > (verb == "quality" ? 0xFFFFull : 0xFFFFFFFFull)) {
                journal_.write(entry.result(E_INVALIDARG));
                return;
            }
            if (verb == "quality") {
                item->quality = static_cast<WORD>(n);
            } else {
                item->error = static_cast<HRESULT>(static_cast<uint32_t>(n));
            }
        } else {
            VariantGuard parsed;
            std::string error = parseValue(value, item->spec->type, parsed.get());
            if (!error.empty()) {
                journal_.write(entry.result(OPC_E_BADTYPE).arg("error", quote(fromUtf8(error))));
                return;
            }
            item->value = parsed;
        }
        item->changed();
        entry.result(S_OK);
        if (verb == "set") {
            entry.arg("now", formatValue(*item->value.get()));
        }
        journal_.write(entry);
        return;
    }
    if (verb == "shutdown") {
        const std::wstring reason = fromUtf8(rest);
        entry.text("reason", reason.c_str());
        const int sent = sendShutdown(reason);
        journal_.write(entry.result(S_OK).arg("sinks", sent));
        return;
    }
    if (verb == "shutdown-during") {
        // shutdown-during <Call> <reason>: armed now, sent when the call comes.
        size_t split = rest.find(' ');
        const std::string call = rest.substr(0, split);
        const std::wstring reason = fromUtf8(
            split == std::string::npos ? "" : std::string(trimBlanks(rest.substr(split + 1))));
        entry.arg("call", quote(fromUtf8(call))).text("reason", reason.c_str());
        if (std::find(std::begin(kShutdownDuringCalls), std::end(kShutdownDuringCalls), call) ==
            std::end(kShutdownDuringCalls)) {
            journal_.write(entry.result(E_INVALIDARG));
            return;
        }
        shutdownDuring_[call] = reason;
        journal_.write(entry.result(S_OK));
        return;
    }
    if (verb == "exit") {
        stopping_ = true;  // ends every hang; nothing hangs from now on
        journal_.write(entry.result(S_OK));
        std::set<OpcServer*> servers = servers_;
        for (OpcServer* server : servers) {
            if (servers_.count(server)) {
                server->disconnect();
            }
        }
        requestExit("exit command");
        return;
    }
    journal_.write(entry.arg("line", quote(fromUtf8(line))).result(E_INVALIDARG));
}

// slow <Call> <ms> | hang <Call> | unhang <Call>
void Simulation::runFaultCommand(const std::string& verb, const std::string& rest,
                                 JournalLine& entry) {
    const size_t split = rest.find(' ');
    const std::string call = rest.substr(0, split);
    const std::string extra =
        split == std::string::npos ? "" : std::string(trimBlanks(rest.substr(split + 1)));
    entry.arg("call", quote(fromUtf8(call)));
    if (!isFaultCallName(call) || (verb == "slow") == extra.empty()) {
        journal_.write(entry.result(E_INVALIDARG));
        return;
    }
    if (verb == "slow") {
        char* end = nullptr;
        const unsigned long long ms = std::strtoull(extra.c_str(), &end, 10);
        if (extra[0] == '-' || *end != '\0' || ms > 600000) {
            journal_.write(entry.arg("ms", quote(fromUtf8(extra))).result(E_INVALIDARG));
            return;
        }
        callFaults_.setSlow(call, static_cast<DWORD>(ms));
        journal_.write(entry.arg("ms", static_cast<long long>(ms)).result(S_OK));
    } else if (verb == "hang") {
        callFaults_.hang(call);
        journal_.write(entry.result(S_OK));
    } else {
        // S_FALSE: the name was not hung.
        journal_.write(entry.result(callFaults_.unhang(call) ? S_OK : S_FALSE));
    }
}

}  // namespace opcsim
