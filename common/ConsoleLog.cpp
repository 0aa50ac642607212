#include "common/ConsoleLog.h"

#include <windows.h>

#include <cstdio>

#include "common/ComMemory.h"
#include "common/TextConversion.h"

namespace korven {
namespace {

constexpr UINT kLogCodePage = 932;
LogSink gSink = nullptr;

void writeLine(FILE* stream, std::wstring_view text) {
    if (gSink != nullptr) {
        gSink(stream == stderr, text);
        return;
    }
    std::string bytes = encodeLogText(text);
    bytes.push_back('\n');
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

}  // namespace

std::string encodeLogText(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int chars = static_cast<int>(text.size());
    const int bytes =
        WideCharToMultiByte(kLogCodePage, 0, text.data(), chars, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return std::string(text.size(), '?');
    }
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(kLogCodePage, 0, text.data(), chars, out.data(), bytes, nullptr, nullptr);
    return out;
}

void replaceLogSink(LogSink sink) {
    gSink = sink;
}

void logInfo(std::wstring_view text) {
    writeLine(stdout, std::wstring(L"情報：").append(text));
}

void logError(std::wstring_view text) {
    writeLine(stderr, std::wstring(L"異常：").append(text));
}

void logRawLine(std::wstring_view text) {
    writeLine(stdout, text);
}

std::wstring logName(const char* narrow) {
    if (narrow == nullptr) {
        return {};
    }
    try {
        BstrPtr wide(narrowToWide(narrow));
        return std::wstring(wide.get());
    } catch (...) {
        // Not valid in the ANSI code page: keep every byte visible.
        std::wstring out;
        for (const char* p = narrow; *p; ++p) {
            out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
        }
        return out;
    }
}

}  // namespace korven
