// windriver: finds the top-level window titled "OPC Status" (or --title) from
// another process and drives it: posts commands and messages, waits for it to
// show, hide or go, reads control texts, check states and styles. See README.md.
#include <windows.h>

#include <string>
#include <vector>

#include "Actions.h"
#include "CommandLine.h"
#include "DriverScript.h"
#include "OutputSink.h"
#include "TextEscape.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: windriver [--title TITLE] [--pid PID] COMMAND [ARGS] [COMMAND [ARGS]]...\n"
    "  find | close | key-escape | exstyle | style\n"
    "  post-command ID | post-message MSG WPARAM LPARAM | send-message MSG WPARAM LPARAM\n"
    "  wait-visible 0|1 TIMEOUT_MS | wait-gone TIMEOUT_MS\n"
    "  text CONTROLID | check CONTROLID\n"
    "  numbers: decimal, -decimal or 0xHEX";

}  // namespace

int main() {
    const std::vector<std::wstring> args = ddetool::commandLineArguments();

    const windriver::DriverScript script = windriver::parseDriverArguments(args);
    if (!script.error.empty()) {
        ddetool::writeErrorLine("USAGE error=" +
                                ddetool::escape(ddetool::toUtf8(script.error), false));
        ddetool::writeErrorLine(kUsage);
        return kExitUsage;
    }
    for (const windriver::Step& step : script.steps) {
        if (!windriver::runStep(script.query, step)) {
            return kExitFailed;
        }
    }
    return kExitOk;
}
