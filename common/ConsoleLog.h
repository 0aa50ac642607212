#pragma once
// The console log: one line per entry, wide text written as code page 932
// bytes, each line written whole and at once. Information goes to standard
// output, errors to standard error, in the order they were logged.
// Information lines begin "情報：", error lines "異常：".
//
// Any thread may log. A log call queues its line and returns: a writer thread
// of the log's own writes the lines, so an output that takes nothing holds
// back no caller. While it does, lines wait up to a bound (4 MiB); newer ones
// are dropped and counted, and "異常：ログの<n>行を書けませんでした。" stands
// where they went missing.
#include <windows.h>

#include <string>
#include <string_view>

namespace korven {

// The bytes of one entry (without the line end) as the log writes them.
std::string encodeLogText(std::wstring_view text);

void logInfo(std::wstring_view text);     // writes "情報：" + text
void logError(std::wstring_view text);    // writes "異常：" + text
void logRawLine(std::wstring_view text);  // standard output, text as it stands

// Exit: waits until every queued line is written, at most `milliseconds`
// (an output that takes nothing must not hold the exit). True when written.
bool drainLog(ULONGLONG milliseconds);

// Tests only: receive each entry (whole line text, without the line end)
// instead of the console; null restores the console.
using LogSink = void (*)(bool isError, std::wstring_view line);
void replaceLogSink(LogSink sink);

// A narrow name (ANSI code page) as wide text for a log line; never raises.
std::wstring logName(const char* narrow);

}  // namespace korven
