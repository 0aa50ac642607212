// counter.exe: the counting DDE client of the benchmarks.
//
//   counter.exe SERVICE PREFIX ITEMS MEASURE_MS WAIT_MS [hold] [sync] [samples] [rounds N]
//               TOPIC...
//
// Connects to every TOPIC of SERVICE and makes a hot CF_TEXT link on the items
// PREFIX00001 .. PREFIX<ITEMS> of each. It then waits (at most WAIT_MS) until
// every link has had an update carrying a number, counts the updates of each
// topic during MEASURE_MS, and takes each number as the wall clock's
// milliseconds of the day at which the server changed the value (the `clock`
// items), so that its age on arrival is the latency. One line per step on
// standard output:
//
//   LINKED links=N ms=T                      all links made, T ms after the first
//   FIRST data_ms=A all_data_ms=B all_values_ms=C
//                                            after the last link: the first update
//                                            of any link, every link updated once,
//                                            every link updated with a number
//                                            (-1: not within WAIT_MS)
//   READY                                    with `sync`: waits (dispatching) for a
//                                            line on stdin before it measures, so
//                                            that several counters measure together
//   MEASURE start / MEASURE end ms=T         with `rounds N`, READY to SAMPLES N
//                                            times over (each round counts afresh),
//                                            so that a driver can change something
//                                            between two rounds of one run
//   TOPIC name=T updates=N per_s=R           one per topic, in the order given
//   TOTAL updates=N per_s=R markers=M        markers: updates that were no number
//   LATENCY samples=N median_ms=A p99_ms=B max_ms=C
//   SAMPLES v v ...                          with `samples`: every latency (ms), so
//                                            that a driver can merge several counters
//   HOLD                                     with `hold`: links kept until stdin ends
//   EXIT code=C
#include <windows.h>
#include <ddeml.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ClockOfDay.h"

namespace {

struct TopicCounts {
    std::string name;
    HCONV conversation = nullptr;
    long long updates = 0;
};

struct LinkState {
    bool data = false;
    bool value = false;
};

DWORD g_instance = 0;
std::vector<TopicCounts> g_topics;
std::map<HCONV, size_t> g_topicOf;
std::map<uint32_t, size_t> g_itemOf;  // item string handle value -> item index
std::vector<LinkState> g_links;       // topic * items + item
size_t g_items = 0;

bool g_measuring = false;
long long g_markers = 0;
std::vector<double> g_latencies;
size_t g_dataLinks = 0;
size_t g_valueLinks = 0;
double g_firstData = -1;  // clock when the first update arrived after the last link
bool g_linked = false;

double now() {
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

uint32_t key(HSZ hsz) {
    return static_cast<uint32_t>(reinterpret_cast<UINT_PTR>(hsz));
}

// A clock stamp sent as text: digits with a '.' or ',' decimal mark.
bool stamp(const char* text, double* out) {
    std::string s(text);
    std::replace(s.begin(), s.end(), ',', '.');
    char* end = nullptr;
    *out = std::strtod(s.c_str(), &end);
    return !s.empty() && end && *end == '\0' && s[0] != '#';
}

HDDEDATA CALLBACK onDde(UINT type, UINT, HCONV conv, HSZ, HSZ hsz2, HDDEDATA data, ULONG_PTR,
                        ULONG_PTR) {
    if (type != XTYP_ADVDATA) {
        return nullptr;
    }
    auto topic = g_topicOf.find(conv);
    auto item = g_itemOf.find(key(hsz2));
    if (topic == g_topicOf.end() || item == g_itemOf.end() || !data) {
        return reinterpret_cast<HDDEDATA>(DDE_FACK);
    }
    char text[128] = {};
    DdeGetData(data, reinterpret_cast<BYTE*>(text), sizeof text - 1, 0);
    double value = 0;
    const bool number = stamp(text, &value);
    if (g_measuring) {
        ++g_topics[topic->second].updates;
        if (number) {
            g_latencies.push_back(opcsim::millisecondsSince(value));
        } else {
            ++g_markers;
        }
    }
    LinkState& link = g_links[topic->second * g_items + item->second];
    if (g_linked && g_firstData < 0) {
        g_firstData = now();
    }
    if (!link.data) {
        link.data = true;
        ++g_dataLinks;
    }
    if (number && !link.value) {
        link.value = true;
        ++g_valueLinks;
    }
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
}

// Dispatches messages until the deadline (ms of now()) or until done() holds.
template <typename Done>
void pumpUntil(double deadline, Done done) {
    MSG msg;
    while (!done()) {
        const double left = deadline - now();
        if (left <= 0) {
            return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left) + 1, QS_ALLINPUT);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
}

// Standard input, read on a thread of its own: its first line is the go of
// `sync`, its end (the driver closes it) ends the hold and is a go as well.
struct InputEvents {
    HANDLE go = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // one go per line
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

DWORD WINAPI watchInput(void* events) {
    auto* input = static_cast<InputEvents*>(events);
    char buffer[256];
    DWORD read = 0;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(in, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        if (std::memchr(buffer, '\n', read) != nullptr) {
            SetEvent(input->go);
        }
    }
    SetEvent(input->done);
    return 0;
}

// Dispatches messages until the go (or the end of input) comes.
void pumpUntilGo(InputEvents& input) {
    HANDLE events[] = {input.go, input.done};
    MSG msg;
    while (MsgWaitForMultipleObjects(2, events, FALSE, INFINITE, QS_ALLINPUT) ==
           WAIT_OBJECT_0 + 2) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
}

// Dispatches messages until the input ends.
void pumpUntilDone(InputEvents& input) {
    MSG msg;
    while (MsgWaitForMultipleObjects(1, &input.done, FALSE, INFINITE, QS_ALLINPUT) !=
           WAIT_OBJECT_0) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
}

double percentile(std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return -1;
    }
    size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

int finish(int code) {
    for (auto& topic : g_topics) {
        if (topic.conversation) {
            DdeDisconnect(topic.conversation);
        }
    }
    DdeUninitialize(g_instance);
    std::printf("EXIT code=%d\n", code);
    std::fflush(stdout);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(
            stderr,
            "usage: counter.exe SERVICE PREFIX ITEMS MEASURE_MS WAIT_MS [hold] [sync] [samples] "
            "[rounds N] TOPIC...\n");
        return 2;
    }
    const std::string service = argv[1];
    const std::string prefix = argv[2];
    g_items = std::strtoul(argv[3], nullptr, 10);
    const double measureMs = std::strtod(argv[4], nullptr);
    const double waitMs = std::strtod(argv[5], nullptr);
    int first = 6;
    bool hold = false, sync = false, samples = false;
    long rounds = 1;
    for (; first < argc; ++first) {
        const std::string word = argv[first];
        if (word == "hold") {
            hold = true;
        } else if (word == "sync") {
            sync = true;
        } else if (word == "samples") {
            samples = true;
        } else if (word == "rounds" && first + 1 < argc) {
            rounds = std::max(1L, std::strtol(argv[++first], nullptr, 10));
        } else {
            break;
        }
    }
    InputEvents input;
    CloseHandle(CreateThread(nullptr, 0, watchInput, &input, 0, nullptr));
    if (DdeInitializeA(&g_instance, onDde, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) {
        std::printf("FAIL init\n");
        return 3;
    }
    HSZ hszService = DdeCreateStringHandleA(g_instance, service.c_str(), CP_WINANSI);
    for (int i = first; i < argc; ++i) {
        HSZ hszTopic = DdeCreateStringHandleA(g_instance, argv[i], CP_WINANSI);
        TopicCounts topic;
        topic.name = argv[i];
        topic.conversation = DdeConnect(g_instance, hszService, hszTopic, nullptr);
        if (!topic.conversation) {
            std::printf("FAIL connect topic=%s dmlerr=0x%04X\n", argv[i],
                        DdeGetLastError(g_instance));
            return finish(1);
        }
        g_topicOf[topic.conversation] = g_topics.size();
        g_topics.push_back(topic);
    }
    std::vector<HSZ> items;
    for (size_t i = 0; i < g_items; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%05zu", prefix.c_str(), i + 1);
        HSZ hsz = DdeCreateStringHandleA(g_instance, name, CP_WINANSI);
        g_itemOf[key(hsz)] = i;
        items.push_back(hsz);
    }
    g_links.assign(g_topics.size() * g_items, {});

    const double linkStart = now();
    for (auto& topic : g_topics) {
        for (size_t i = 0; i < g_items; ++i) {
            DWORD result = 0;
            const bool ok = DdeClientTransaction(nullptr, 0, topic.conversation, items[i], CF_TEXT,
                                                 XTYP_ADVSTART, 30000, &result) != nullptr;
            if (!ok) {
                std::printf("FAIL advise topic=%s item=%zu dmlerr=0x%04X\n", topic.name.c_str(),
                            i + 1, DdeGetLastError(g_instance));
                return finish(1);
            }
        }
    }
    const double linked = now();
    g_linked = true;
    const size_t links = g_links.size();
    std::printf("LINKED links=%zu ms=%.1f\n", links, linked - linkStart);
    std::fflush(stdout);

    double allData = -1, allValues = -1;
    pumpUntil(linked + waitMs, [&] {
        if (allData < 0 && g_dataLinks == links) {
            allData = now();
        }
        if (allValues < 0 && g_valueLinks == links) {
            allValues = now();
        }
        return allValues >= 0;
    });
    auto since = [&](double t) { return t < 0 ? -1.0 : t - linked; };
    std::printf("FIRST data_ms=%.1f all_data_ms=%.1f all_values_ms=%.1f\n", since(g_firstData),
                since(allData), since(allValues));
    std::fflush(stdout);

    for (long round = 0; measureMs > 0 && round < rounds; ++round) {
        for (auto& topic : g_topics) {
            topic.updates = 0;
        }
        g_markers = 0;
        g_latencies.clear();
        if (sync) {
            std::printf("READY\n");
            std::fflush(stdout);
            pumpUntilGo(input);
        }
        std::printf("MEASURE start\n");
        std::fflush(stdout);
        g_measuring = true;
        const double start = now();
        pumpUntil(start + measureMs, [] { return false; });
        g_measuring = false;
        const double elapsed = now() - start;
        std::printf("MEASURE end ms=%.1f\n", elapsed);
        long long total = 0;
        for (auto& topic : g_topics) {
            total += topic.updates;
            std::printf("TOPIC name=%s updates=%lld per_s=%.1f\n", topic.name.c_str(),
                        topic.updates, static_cast<double>(topic.updates) * 1000.0 / elapsed);
        }
        std::printf("TOTAL updates=%lld per_s=%.1f markers=%lld\n", total,
                    static_cast<double>(total) * 1000.0 / elapsed, g_markers);
        std::sort(g_latencies.begin(), g_latencies.end());
        std::printf("LATENCY samples=%zu median_ms=%.2f p99_ms=%.2f max_ms=%.2f\n",
                    g_latencies.size(), percentile(g_latencies, 0.5), percentile(g_latencies, 0.99),
                    g_latencies.empty() ? -1.0 : g_latencies.back());
        if (samples) {
            std::printf("SAMPLES");
            for (double latency : g_latencies) {
                std::printf(" %.2f", latency);
            }
            std::printf("\n");
        }
        std::fflush(stdout);
    }
    if (hold) {
        std::printf("HOLD\n");
        std::fflush(stdout);
        pumpUntilDone(input);
    }
    return finish(0);
}
