#include "config/ConfigPath.h"

#include <windows.h>

#include "common/ConsoleLog.h"

namespace korven {
namespace {

constexpr std::string_view kFileName = "\\KORVEN.ini";

}  // namespace

std::optional<std::string> joinConfigPath(std::string_view directory) {
    if (directory.size() + kFileName.size() + 1 > kConfigPathRoom) {
        return std::nullopt;
    }
    std::string path(directory);
    path.append(kFileName);
    return path;
}

std::optional<std::string> configFilePath() {
    char directory[kConfigPathRoom] = {};
    const DWORD length = GetCurrentDirectoryA(kConfigPathRoom - 1, directory);
    if (length == 0) {
        logError(L"カレントディレクトリの取得に失敗。");
        return std::nullopt;
    }
    // A result at or above the room given is the size the directory would
    // need: the directory was not read.
    const auto path = length < kConfigPathRoom - 1
                          ? joinConfigPath(std::string_view(directory, length))
                          : std::nullopt;
    if (!path) {
        logError(L"カレントディレクトリのパスが長すぎます。");
    }
    return path;
}

}  // namespace korven
