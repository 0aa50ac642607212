// bareserver.exe: the yardstick of the benchmarks. A plain DDEML server that
// serves clock items the way the bridge serves OPC items, without OPC:
//
//   bareserver.exe SERVICE RATE_MS TOPIC...
//
// Any item of a named topic can be linked (CF_TEXT). As in the bridge, links
// take effect 200 ticks after a topic's last link change (the bridge's add
// pass, here without OPC): the items then linked are posted at once (#EMPTY
// before their first value). From then on, every RATE_MS each such
// item takes the wall clock's milliseconds of the day as its value (the same
// value the simulation OPC server's `clock` items carry) and becomes dirty.
// Every 10 ms each topic posts at most five dirty items, in a rotation over
// the dirty set in handle order that never wraps within one tick; a posted
// item's text is the value's text from VariantChangeType, in the ANSI code
// page. Prints "READY service=S topics=N" once serving; ends when its
// standard input ends (or on WM_CLOSE), printing "EXIT".
#include <windows.h>
#include <ddeml.h>
#include <oleauto.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ClockOfDay.h"

namespace {

constexpr UINT_PTR kTickTimer = 1;
constexpr UINT_PTR kUpdateTimer = 2;
constexpr UINT kTickMs = 10;
constexpr int kPostsPerTick = 5;
constexpr int kSettleTicks = 200;

struct Item {
    double value = 0;
    bool hasValue = false;
    int links = 0;
    bool live = false;  // linked at the topic's last settled tick: changes and is posted
};

struct Topic {
    HSZ handle = nullptr;
    std::map<uint32_t, Item> items;  // by item string handle value
    std::set<uint32_t> dirty;
    uint32_t cursor = 0;
    int settleTicks = 0;  // ticks since the last link change
};

DWORD g_instance = 0;
std::map<uint32_t, Topic> g_topics;  // by topic string handle value

uint32_t key(HSZ hsz) {
    return static_cast<uint32_t>(reinterpret_cast<UINT_PTR>(hsz));
}

HSZ handleOf(uint32_t value) {
    return reinterpret_cast<HSZ>(static_cast<UINT_PTR>(value));
}

Topic* topicOf(HSZ hsz) {
    auto it = g_topics.find(key(hsz));
    return it == g_topics.end() ? nullptr : &it->second;
}

// The value's text as the bridge makes it: VariantChangeType to a BSTR, then
// the ANSI code page, NUL-terminated.
HDDEDATA render(const Item& item, HSZ itemHandle) {
    std::string text = "#EMPTY";
    if (item.hasValue) {
        VARIANT r8;
        VariantInit(&r8);
        r8.vt = VT_R8;
        r8.dblVal = item.value;
        VARIANT converted;
        VariantInit(&converted);
        if (SUCCEEDED(VariantChangeType(&converted, &r8, 0, VT_BSTR))) {
            const int chars = static_cast<int>(SysStringLen(converted.bstrVal));
            const int bytes = WideCharToMultiByte(CP_ACP, 0, converted.bstrVal, chars, nullptr, 0,
                                                  nullptr, nullptr);
            text.assign(static_cast<size_t>(bytes), '\0');
            WideCharToMultiByte(CP_ACP, 0, converted.bstrVal, chars, text.data(), bytes, nullptr,
                                nullptr);
        }
        VariantClear(&converted);
    }
    return DdeCreateDataHandle(g_instance, reinterpret_cast<BYTE*>(text.data()),
                               static_cast<DWORD>(text.size() + 1), 0, itemHandle, CF_TEXT, 0);
}

HDDEDATA CALLBACK onDde(UINT type, UINT format, HCONV, HSZ hsz1, HSZ hsz2, HDDEDATA, ULONG_PTR,
                        ULONG_PTR) {
    switch (type) {
        case XTYP_CONNECT:
            return reinterpret_cast<HDDEDATA>(static_cast<UINT_PTR>(topicOf(hsz1) != nullptr));
        case XTYP_ADVSTART: {
            Topic* topic = topicOf(hsz1);
            if (!topic || format != CF_TEXT) {
                return reinterpret_cast<HDDEDATA>(FALSE);
            }
            Item& item = topic->items[key(hsz2)];
            topic->settleTicks = 0;
            if (item.links++ == 0) {
                DdeKeepStringHandle(g_instance, hsz2);  // the key stays this item's
            }
            return reinterpret_cast<HDDEDATA>(TRUE);
        }
        case XTYP_ADVSTOP:
            if (Topic* topic = topicOf(hsz1)) {
                auto it = topic->items.find(key(hsz2));
                if (it != topic->items.end() && it->second.links > 0) {
                    --it->second.links;
                    topic->settleTicks = 0;
                }
            }
            return nullptr;
        case XTYP_ADVREQ:
        case XTYP_REQUEST:
            if (Topic* topic = topicOf(hsz1); topic && format == CF_TEXT) {
                auto it = topic->items.find(key(hsz2));
                if (it != topic->items.end()) {
                    return render(it->second, hsz2);
                }
            }
            return nullptr;
        default:
            return nullptr;
    }
}

// Every linked item changes at the update rate.
void update() {
    const double now = opcsim::millisecondsOfDay();
    for (auto& [topicKey, topic] : g_topics) {
        for (auto& [itemKey, item] : topic.items) {
            if (item.live) {
                item.value = now;
                item.hasValue = true;
                topic.dirty.insert(itemKey);
            }
        }
    }
}

// At most five posts per topic, continuing after the last posted handle; the
// end of the set ends the tick's posting and starts the next tick from the top.
void tick() {
    for (auto& [topicKey, topic] : g_topics) {
        if (topic.settleTicks < kSettleTicks && ++topic.settleTicks == kSettleTicks) {
            for (auto& [itemKey, item] : topic.items) {
                if (item.live != (item.links > 0)) {
                    item.live = item.links > 0;
                    if (item.live) {
                        topic.dirty.insert(itemKey);
                    }
                }
            }
        }
        auto it = topic.dirty.upper_bound(topic.cursor);
        for (int posted = 0; posted < kPostsPerTick; ++posted) {
            if (it == topic.dirty.end()) {
                topic.cursor = 0;
                break;
            }
            topic.cursor = *it;
            DdePostAdvise(g_instance, topic.handle, handleOf(*it));
            auto next = std::next(it);
            topic.dirty.erase(it);
            it = next;
        }
    }
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TIMER) {
        if (wp == kTickTimer) {
            tick();
        } else if (wp == kUpdateTimer) {
            update();
        }
        return 0;
    }
    if (msg == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// Standard input's end asks the message loop to end.
DWORD WINAPI watchInput(void* mainThread) {
    char buffer[256];
    DWORD read = 0;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(in, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    }
    PostThreadMessageW(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(mainThread)), WM_QUIT, 0, 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bareserver.exe SERVICE RATE_MS TOPIC...\n");
        return 2;
    }
    const UINT rate = static_cast<UINT>(std::strtoul(argv[2], nullptr, 10));
    if (rate == 0) {
        std::fprintf(stderr, "bareserver: RATE_MS must be a positive number\n");
        return 2;
    }
    if (DdeInitializeA(&g_instance, onDde,
                       CBF_FAIL_POKES | CBF_FAIL_EXECUTES | CBF_SKIP_ALLNOTIFICATIONS,
                       0) != DMLERR_NO_ERROR) {
        std::fprintf(stderr, "bareserver: DdeInitialize failed\n");
        return 3;
    }
    for (int i = 3; i < argc; ++i) {
        HSZ hsz = DdeCreateStringHandleA(g_instance, argv[i], CP_WINANSI);
        g_topics[key(hsz)].handle = hsz;
    }
    HSZ service = DdeCreateStringHandleA(g_instance, argv[1], CP_WINANSI);

    WNDCLASSW wc{};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KorvenBenchBareServer";
    RegisterClassW(&wc);
    HWND window = CreateWindowW(wc.lpszClassName, L"bareserver", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                nullptr, wc.hInstance, nullptr);
    SetTimer(window, kTickTimer, kTickMs, nullptr);
    SetTimer(window, kUpdateTimer, rate, nullptr);
    if (!DdeNameService(g_instance, service, nullptr, DNS_REGISTER)) {
        std::fprintf(stderr, "bareserver: DdeNameService failed\n");
        return 3;
    }
    std::printf("READY service=%s topics=%zu\n", argv[1], g_topics.size());
    std::fflush(stdout);
    CloseHandle(CreateThread(nullptr, 0, watchInput,
                             reinterpret_cast<void*>(static_cast<UINT_PTR>(GetCurrentThreadId())),
                             0, nullptr));

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    KillTimer(window, kTickTimer);
    KillTimer(window, kUpdateTimer);
    DestroyWindow(window);
    DdeNameService(g_instance, service, nullptr, DNS_UNREGISTER);
    DdeUninitialize(g_instance);
    std::printf("EXIT\n");
    std::fflush(stdout);
    return 0;
}
