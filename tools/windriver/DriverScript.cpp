#include "DriverScript.h"

#include <array>

#include "NumberText.h"

namespace windriver {

namespace {

struct Spec {
    const wchar_t* word;
    Action action;
    int arity;
};

constexpr std::array<Spec, 12> kSpecs{{
    {L"find", Action::Find, 0},
    {L"post-command", Action::PostCommand, 1},
    {L"post-message", Action::PostMessage, 3},
    {L"send-message", Action::SendMessage, 3},
    {L"close", Action::Close, 0},
    {L"key-escape", Action::KeyEscape, 0},
    {L"wait-visible", Action::WaitVisible, 2},
    {L"wait-gone", Action::WaitGone, 1},
    {L"text", Action::Text, 1},
    {L"check", Action::Check, 1},
    {L"exstyle", Action::ExStyle, 0},
    {L"style", Action::Style, 0},
}};

}  // namespace

std::optional<std::int64_t> parseInteger(const std::wstring& text) {
    std::wstring_view digits = text;
    const bool negative = !digits.empty() && digits[0] == L'-';
    if (negative) {
        digits.remove_prefix(1);
    }
    // Sixteen decimal digits stay below INT64_MAX; sixteen hexadecimal digits
    // are the 64-bit pattern (0xFFFFFFFFFFFFFFFF is -1).
    const std::optional<std::uint64_t> value = ddetool::parseDigits(digits, 16);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(negative ? 0 - *value : *value);
}

DriverScript parseDriverArguments(const std::vector<std::wstring>& args) {
    DriverScript script;
    std::size_t i = 0;
    while (i < args.size() && args[i].rfind(L"--", 0) == 0) {
        const std::wstring& option = args[i++];
        if (i >= args.size()) {
            script.error = option + L": missing value";
            return script;
        }
        if (option == L"--title") {
            script.query.title = args[i++];
        } else if (option == L"--pid") {
            const auto pid = parseInteger(args[i++]);
            if (!pid || *pid < 0 || *pid > 0xFFFFFFFFll) {
                script.error = L"--pid: not a process id";
                return script;
            }
            script.query.processId = static_cast<DWORD>(*pid);
        } else {
            script.error = L"unknown option: " + option;
            return script;
        }
    }
    while (i < args.size()) {
        const std::wstring& word = args[i++];
        const Spec* spec = nullptr;
        for (const Spec& s : kSpecs) {
            if (word == s.word) {
                spec = &s;
            }
        }
        if (spec == nullptr) {
            script.error = L"unknown command: " + word;
            return script;
        }
        Step step;
        step.action = spec->action;
        step.word = word;
        for (int n = 0; n < spec->arity; ++n) {
            if (i >= args.size()) {
                script.error = word + L": missing argument";
                return script;
            }
            const auto value = parseInteger(args[i]);
            if (!value) {
                script.error = word + L": not a number: " + args[i];
                return script;
            }
            step.values.push_back(*value);
            ++i;
        }
        script.steps.push_back(std::move(step));
    }
    if (script.steps.empty()) {
        script.error = L"no command";
    }
    return script;
}

}  // namespace windriver
