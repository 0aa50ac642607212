#include "OutputSink.h"

#include <windows.h>

#include <string>

namespace ddetool {

namespace {

void writeTo(DWORD which, std::string_view utf8) {
    const HANDLE out = GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return;
    }
    std::string line(utf8);
    line += "\r\n";
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        const int chars =
            MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
        if (chars > 0) {
            std::wstring wide(static_cast<std::size_t>(chars), L'\0');
            MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(),
                                chars);
            DWORD written = 0;
            WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
            return;
        }
    }
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(out, data, static_cast<DWORD>(left), &written, nullptr) || written == 0) {
            return;
        }
        data += written;
        left -= written;
    }
}

}  // namespace

void writeLine(std::string_view utf8) {
    writeTo(STD_OUTPUT_HANDLE, utf8);
}

void writeErrorLine(std::string_view utf8) {
    writeTo(STD_ERROR_HANDLE, utf8);
}

}  // namespace ddetool
