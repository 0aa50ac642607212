#include "WindowFinder.h"

#include <vector>

namespace windriver {

namespace {

struct Search {
    const WindowQuery* query;
    HWND found = nullptr;
};

BOOL CALLBACK visit(HWND hwnd, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    if (search->query->processId) {
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (pid != *search->query->processId) {
            return TRUE;
        }
    }
    const int length = GetWindowTextLengthW(hwnd);
    if (length != static_cast<int>(search->query->title.size())) {
        return TRUE;
    }
    std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(hwnd, text.data(), length + 1);
    if (search->query->title != text.data()) {
        return TRUE;
    }
    search->found = hwnd;
    return FALSE;
}

}  // namespace

HWND findWindow(const WindowQuery& query) {
    Search search{&query};
    EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace windriver
