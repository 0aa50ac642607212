#pragma once
// Finds a top-level window by its exact title, optionally only among the
// windows of one process. Hidden windows count too.
#include <windows.h>

#include <optional>
#include <string>

namespace windriver {

struct WindowQuery {
    std::wstring title = L"OPC Status";
    std::optional<DWORD> processId;
};

// The first match in the system's top-level order; null when there is none.
HWND findWindow(const WindowQuery& query);

}  // namespace windriver
