#include "common/ConsoleLog.h"

#include <windows.h>

#include <mutex>
#include <string>

#include "common/ComMemory.h"
#include "common/LogQueue.h"
#include "common/TextConversion.h"

namespace korven {
namespace {

constexpr UINT kLogCodePage = 932;
// Lines wait in memory up to this many bytes while the output takes nothing.
constexpr std::size_t kLogBoundBytes = 4 * 1024 * 1024;
LogSink gSink = nullptr;

// A line as the console's text mode writes it: every line end with its
// carriage return (code page 932 has no trail byte of that value).
std::string asWritten(std::wstring_view text) {
    const std::string encoded = encodeLogText(text);
    std::string bytes;
    bytes.reserve(encoded.size() + 2);
    for (char c : encoded) {
        if (c == '\n') {
            bytes.push_back('\r');
        }
        bytes.push_back(c);
    }
    bytes.append("\r\n");
    return bytes;
}

std::string gapLine(unsigned long dropped) {
    return asWritten(L"異常：ログの" + std::to_wstring(dropped) + L"行を書けませんでした。");
}

// Writes every byte unless the output fails; blocks while it takes nothing.
void writeAll(HANDLE output, const std::string& bytes) {
    const char* next = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        DWORD wrote = 0;
        if (output == nullptr || output == INVALID_HANDLE_VALUE ||
            !WriteFile(output, next, static_cast<DWORD>(left), &wrote, nullptr) || wrote == 0) {
            return;  // no output, or a closed one: the line goes nowhere
        }
        next += wrote;
        left -= wrote;
    }
}

// The thread that writes the log. A log call only queues its line, so an
// output that takes nothing (a console selection, a pipe nobody reads, a full
// disk) holds back this thread alone. The queue is shared by every thread
// that logs and the writer, under `lock_`; the writer is the only one that
// touches the outputs.
class LogWriter {
  public:
    static LogWriter& instance() {
        static LogWriter* writer = new LogWriter;  // lives until the process ends
        return *writer;
    }

    void push(bool isError, std::string bytes) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (!startLocked()) {
                writeAll(GetStdHandle(isError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), bytes);
                return;
            }
            queue_.push(isError, std::move(bytes));
            ResetEvent(idle_);
        }
        SetEvent(wake_);
    }

    bool drain(ULONGLONG milliseconds) {
        HANDLE idle;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (thread_ == nullptr) {
                return true;
            }
            idle = idle_;
        }
        SetEvent(wake_);
        return WaitForSingleObject(idle, static_cast<DWORD>(milliseconds)) == WAIT_OBJECT_0;
    }

  private:
    LogWriter() : queue_(kLogBoundBytes, gapLine) {}

    bool startLocked() {
        if (thread_ != nullptr) {
            return true;
        }
        if (failed_) {
            return false;
        }
        wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        idle_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        if (wake_ != nullptr && idle_ != nullptr) {
            thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
        }
        failed_ = thread_ == nullptr;
        return !failed_;
    }

    static DWORD WINAPI run(void* parameter) {
        auto* self = static_cast<LogWriter*>(parameter);
        while (true) {
            WaitForSingleObject(self->wake_, INFINITE);
            self->writeQueued();
        }
    }

    void writeQueued() {
        while (true) {
            std::deque<QueuedLine> lines;
            {
                std::lock_guard<std::mutex> hold(lock_);
                if (queue_.empty()) {
                    SetEvent(idle_);
                    return;
                }
                lines = queue_.takeAll();
            }
            for (const QueuedLine& line : lines) {
                writeAll(GetStdHandle(line.isError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE),
                         line.bytes);
                std::lock_guard<std::mutex> hold(lock_);
                queue_.written(line.bytes.size());
            }
        }
    }

    std::mutex lock_;
    LogQueue queue_;
    HANDLE wake_ = nullptr;
    HANDLE idle_ = nullptr;
    HANDLE thread_ = nullptr;
    bool failed_ = false;
};

void writeLine(bool isError, std::wstring_view text) {
    if (gSink != nullptr) {
        gSink(isError, text);
        return;
    }
    try {
        LogWriter::instance().push(isError, asWritten(text));
    } catch (...) {
        // Out of memory for the line: it is lost, and nothing unwinds into
        // the caller, which may be a callback of DDEML or COM.
    }
}

}  // namespace

std::string encodeLogText(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    // One pass: code page 932 writes at most two bytes for a UTF-16 unit.
    std::string out(text.size() * 2, '\0');
    const int bytes =
        WideCharToMultiByte(kLogCodePage, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            static_cast<int>(out.size()), nullptr, nullptr);
    if (bytes <= 0) {
        return std::string(text.size(), '?');
    }
    out.resize(static_cast<size_t>(bytes));
    return out;
}

bool drainLog(ULONGLONG milliseconds) {
    return LogWriter::instance().drain(milliseconds);
}

void replaceLogSink(LogSink sink) {
    gSink = sink;
}

void logInfo(std::wstring_view text) {
    writeLine(false, std::wstring(L"情報：").append(text));
}

void logError(std::wstring_view text) {
    writeLine(true, std::wstring(L"異常：").append(text));
}

void logRawLine(std::wstring_view text) {
    writeLine(false, text);
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
