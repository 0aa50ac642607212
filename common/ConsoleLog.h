#pragma once
// The console log: one line per entry, wide text written as code page 932
// bytes, flushed at once. Information goes to standard output, errors to
// standard error. Information lines begin "情報：", error lines "異常：".
#include <string>
#include <string_view>

namespace korven {

// The bytes of one entry (without the line end) as the log writes them.
std::string encodeLogText(std::wstring_view text);

void logInfo(std::wstring_view text);     // writes "情報：" + text
void logError(std::wstring_view text);    // writes "異常：" + text
void logRawLine(std::wstring_view text);  // standard output, text as it stands

// Tests only: receive each entry (whole line text, without the line end)
// instead of the console; null restores the console.
using LogSink = void (*)(bool isError, std::wstring_view line);
void replaceLogSink(LogSink sink);

// A narrow name (ANSI code page) as wide text for a log line; never raises.
std::wstring logName(const char* narrow);

}  // namespace korven
