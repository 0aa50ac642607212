#pragma once
// Collects the bridge's log lines for a test instead of writing them.
#include <string>
#include <vector>

#include "common/ConsoleLog.h"

namespace korven::test {

struct LogLine {
    bool isError;
    std::wstring text;
    bool operator==(const LogLine&) const = default;
};

class LogCapture {
  public:
    LogCapture() {
        lines().clear();
        replaceLogSink(&LogCapture::sink);
    }
    ~LogCapture() { replaceLogSink(nullptr); }

    static std::vector<LogLine>& lines() {
        static std::vector<LogLine> captured;
        return captured;
    }
    std::vector<std::wstring> infoLines() const { return select(false); }
    std::vector<std::wstring> errorLines() const { return select(true); }
    void clear() { lines().clear(); }

  private:
    static void sink(bool isError, std::wstring_view line) {
        lines().push_back({isError, std::wstring(line)});
    }
    static std::vector<std::wstring> select(bool isError) {
        std::vector<std::wstring> out;
        for (const auto& line : lines()) {
            if (line.isError == isError) {
                out.push_back(line.text);
            }
        }
        return out;
    }
};

}  // namespace korven::test
