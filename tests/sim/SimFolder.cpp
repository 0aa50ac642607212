#include "SimFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace simtest {
namespace {

std::string readAll(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        text.append(buffer, got);
    }
    CloseHandle(file);
    return text;
}

void writeAll(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

size_t controlLines(const std::vector<std::string>& journal) {
    size_t n = 0;
    for (const std::string& line : journal) {
        n += body(line).rfind("Control.", 0) == 0;
    }
    return n;
}

}  // namespace

std::string body(const std::string& line) {
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    return second == std::string::npos ? std::string() : line.substr(second + 1);
}

unsigned long long lineMs(const std::string& line) {
    const size_t first = line.find(' ');
    return first == std::string::npos ? 0 : std::strtoull(line.c_str() + first + 1, nullptr, 10);
}

int findLine(const std::vector<std::string>& journal, std::string_view text, int from) {
    for (int i = from; i < static_cast<int>(journal.size()); ++i) {
        if (journal[i].find(text) != std::string::npos) {
            return i;
        }
    }
    return -1;
}

SimFolder::SimFolder(const std::string& scenario, const wchar_t* classKey) {
    static int made = 0;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + L"korven-simtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++made);
    CreateDirectoryW(dir_.c_str(), nullptr);
    writeAll(dir_ + L"\\scenario.txt", scenario);
    const LSTATUS rc = RegSetKeyValueW(HKEY_CURRENT_USER, classKey, L"Folder", REG_SZ, dir_.c_str(),
                                       static_cast<DWORD>((dir_.size() + 1) * sizeof(wchar_t)));
    EXPECT_EQ(rc, ERROR_SUCCESS);
}

SimFolder::~SimFolder() {
    if (calls("Server.Start").size() > calls("Server.Exit").size()) {
        command("exit");
    }
    if (!waitGone()) {
        std::string tail;
        const std::vector<std::string> lines = journal();
        for (size_t i = lines.size() > 12 ? lines.size() - 12 : 0; i < lines.size(); ++i) {
            tail += "\n  " + lines[i];
        }
        ADD_FAILURE() << "the simulation server did not end; its journal ends:" << tail;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir_ + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((dir_ + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir_.c_str());
}

std::vector<std::string> SimFolder::journal() const {
    std::vector<std::string> lines;
    const std::string text = readAll(dir_ + L"\\journal.log");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            break;  // a line still being written
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> SimFolder::calls(std::string_view name) const {
    std::vector<std::string> found;
    for (const std::string& line : journal()) {
        const std::string rest = body(line);
        if (rest.compare(0, name.size(), name) == 0 &&
            (rest.size() == name.size() || rest[name.size()] == ' ')) {
            found.push_back(line);
        }
    }
    return found;
}

std::string SimFolder::waitCall(std::string_view name, size_t count, DWORD timeoutMs) const {
    std::vector<std::string> found;
    const bool arrived = pumpUntil(
        [&] {
            found = calls(name);
            return found.size() >= count;
        },
        timeoutMs);
    EXPECT_TRUE(arrived) << count << " x " << name << " not in the journal";
    return arrived ? found.back() : std::string();
}

std::string SimFolder::command(const std::string& line) {
    const size_t before = controlLines(journal());
    wchar_t name[32];
    swprintf(name, 32, L"\\%05d", ++commands_);
    writeAll(dir_ + name + L".tmp", line + "\n");
    MoveFileW((dir_ + name + L".tmp").c_str(), (dir_ + name + L".cmd").c_str());
    std::vector<std::string> lines;
    const bool ran = pumpUntil([&] {
        lines = journal();
        return controlLines(lines) > before;
    });
    EXPECT_TRUE(ran) << "control command not run: " << line;
    for (auto it = lines.rbegin(); ran && it != lines.rend(); ++it) {
        if (body(*it).rfind("Control.", 0) == 0) {
            return *it;
        }
    }
    return {};
}

DWORD SimFolder::serverPid() const {
    const std::vector<std::string> starts = calls("Server.Start");
    if (starts.empty()) {
        return 0;
    }
    const size_t at = starts.back().find(" pid=");
    return at == std::string::npos ? 0 : std::strtoul(starts.back().c_str() + at + 5, nullptr, 10);
}

bool SimFolder::waitGone(DWORD timeoutMs) const {
    const DWORD pid = serverPid();
    if (pid == 0) {
        return true;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) {
        return true;  // already gone
    }
    const bool gone =
        pumpUntil([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, timeoutMs);
    CloseHandle(process);
    return gone;
}

}  // namespace simtest
