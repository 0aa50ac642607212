// ddeclient: a DDEML client for people and tests. The arguments form a script
// run in order; "-" or "stdin" reads further commands from standard input. See
// README.md for the command language, the output lines and the exit codes.
#include <windows.h>

#include <string>
#include <vector>

#include "ClientSession.h"
#include "CodePageText.h"
#include "CommandLine.h"
#include "DdeErrorName.h"
#include "InputPump.h"
#include "OutputSink.h"
#include "Script.h"
#include "TextEscape.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInit = 3;

ddetool::InputPump* g_pump = nullptr;

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        if (g_pump != nullptr) {
            g_pump->interrupt();
        }
        return TRUE;
    }
    return FALSE;
}

const char kUsage[] =
    "usage: ddeclient [SERVICE TOPIC] COMMAND...   (or: ddeclient -)\n"
    "  connect SERVICE TOPIC | connectlist SERVICE TOPIC   (* = wildcard)\n"
    "  use N | disconnect | request ITEM [FORMAT]\n"
    "  advise ITEM [hot|warm] [FORMAT] | unadvise ITEM [hot|warm] [FORMAT]\n"
    "  poke ITEM TEXT [FORMAT] | execute TEXT\n"
    "  wait MS (0 = until Ctrl-C or end of input) | timeout MS | echo TEXT\n"
    "  stdin | -   (read further commands from standard input, one line each)\n"
    "  FORMAT: TEXT (default), UNICODETEXT, OEMTEXT, a number, or a registered name";

void usage(const std::wstring& error) {
    ddetool::writeErrorLine("USAGE error=" + ddetool::escape(ddetool::toUtf8(error), false));
    ddetool::writeErrorLine(kUsage);
}

struct Outcome {
    bool failed = false;
    bool usage = false;
};

void runStandardInput(ddetool::InputPump& pump, ddetool::ClientSession& session, Outcome& outcome) {
    pump.startReading();
    int lineNumber = 0;
    while (std::optional<std::wstring> line = pump.nextLine()) {
        ++lineNumber;
        std::wstring error;
        const auto tokens = ddetool::tokenizeLine(*line, error);
        ddetool::ParseResult parsed;
        if (tokens) {
            parsed = ddetool::parseScript(*tokens, false);
            error = parsed.error;
        }
        if (!error.empty()) {
            ddetool::writeLine("SYNTAX FAIL line=" + std::to_string(lineNumber) +
                               " error=" + ddetool::escape(ddetool::toUtf8(error), false));
            outcome.usage = true;
            continue;
        }
        for (const ddetool::Command& command : parsed.commands) {
            if (pump.interrupted()) {
                return;
            }
            if (command.op != ddetool::Op::Stdin && !session.run(command)) {
                outcome.failed = true;
            }
        }
    }
}

}  // namespace

int main() {
    const std::vector<std::wstring> tokens = ddetool::commandLineArguments();
    if (tokens.empty()) {
        usage(L"no command");
        return kExitUsage;
    }
    const ddetool::ParseResult script = ddetool::parseScript(tokens, true);
    if (!script.error.empty()) {
        usage(script.error);
        return kExitUsage;
    }

    ddetool::InputPump pump;
    g_pump = &pump;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);

    Outcome outcome;
    {
        ddetool::ClientSession session(pump);
        const UINT error = session.initialize();
        if (error != DMLERR_NO_ERROR) {
            ddetool::writeLine("INIT FAIL " + ddetool::dmlErrorField(error));
            ddetool::writeLine("EXIT code=" + std::to_string(kExitInit));
            return kExitInit;
        }
        for (const ddetool::Command& command : script.commands) {
            if (pump.interrupted()) {
                break;
            }
            if (command.op == ddetool::Op::Stdin) {
                runStandardInput(pump, session, outcome);
            } else if (!session.run(command)) {
                outcome.failed = true;
            }
        }
        if (pump.interrupted()) {
            ddetool::writeLine("INTERRUPTED");
        }
    }  // disconnects and uninitialises DDEML

    const int code = outcome.usage ? kExitUsage : outcome.failed ? kExitFailed : kExitOk;
    ddetool::writeLine("EXIT code=" + std::to_string(code));
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    g_pump = nullptr;
    return code;
}
