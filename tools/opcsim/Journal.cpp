#include "Journal.h"

#include <cstdio>

#include "ValueText.h"

namespace opcsim {

std::string hex32(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(value));
    return buf;
}

JournalLine& JournalLine::arg(std::string_view name, std::string_view rendered) {
    std::string& out = target();
    out += ' ';
    out += name;
    out += '=';
    out += rendered;
    return *this;
}

JournalLine& JournalLine::arg(std::string_view name, long long number) {
    return arg(name, std::to_string(number));
}

JournalLine& JournalLine::text(std::string_view name, const wchar_t* text) {
    return arg(name, quote(text));
}

JournalLine& JournalLine::code(std::string_view name, HRESULT hr) {
    return arg(name, hex32(static_cast<uint32_t>(hr)));
}

JournalLine& JournalLine::list(std::string_view name, const std::vector<std::string>& rendered) {
    std::string joined = "[";
    for (size_t i = 0; i < rendered.size(); ++i) {
        joined += (i ? "," : "") + rendered[i];
    }
    return arg(name, joined + "]");
}

JournalLine& JournalLine::result(HRESULT hr) {
    resulted_ = true;
    hr_ = hr;
    return *this;
}

std::string JournalLine::body() const {
    std::string out = call_ + args_;
    if (resulted_) {
        out += " -> " + hex32(static_cast<uint32_t>(hr_)) + results_;
    }
    return out;
}

Journal::Journal(std::wstring path) : path_(std::move(path)) {}

void Journal::write(const JournalLine& line) {
    if (path_.empty()) {
        return;
    }
    ++sequence_;
    std::string text = std::to_string(sequence_) + " " + std::to_string(GetTickCount64() - start_) +
                       " " + line.body() + "\n";
    // Opened per line, shared for reading: a reader always sees whole lines.
    HANDLE file = CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace opcsim
