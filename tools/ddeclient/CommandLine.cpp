#include "CommandLine.h"

#include <windows.h>
#include <shellapi.h>

namespace ddetool {

std::vector<std::wstring> commandLineArguments() {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) {
        return args;
    }
    for (int i = 1; i < count; ++i) {
        args.emplace_back(argv[i]);
    }
    LocalFree(argv);
    return args;
}

}  // namespace ddetool
