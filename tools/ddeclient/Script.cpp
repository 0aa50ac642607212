#include "Script.h"

#include <array>
#include <cwctype>
#include <utility>

#include "NumberText.h"

namespace ddetool {

namespace {

struct Word {
    std::wstring_view text;
    Op op;
};

constexpr std::array<Word, 15> kWords{{
    {L"connect", Op::Connect},
    {L"connectlist", Op::ConnectList},
    {L"use", Op::Use},
    {L"request", Op::Request},
    {L"advise", Op::Advise},
    {L"unadvise", Op::Unadvise},
    {L"poke", Op::Poke},
    {L"execute", Op::Execute},
    {L"disconnect", Op::Disconnect},
    {L"wait", Op::Wait},
    {L"timeout", Op::Timeout},
    {L"echo", Op::Echo},
    {L"atoms", Op::Atoms},
    {L"stdin", Op::Stdin},
    {L"-", Op::Stdin},
}};

std::optional<Op> commandOf(std::wstring_view token) {
    for (const Word& word : kWords) {
        if (word.text == token) {
            return word.op;
        }
    }
    return std::nullopt;
}

class Reader {
  public:
    explicit Reader(const std::vector<std::wstring>& tokens) : tokens_(tokens) {}

    bool atEnd() const { return next_ >= tokens_.size(); }
    const std::wstring& take() { return tokens_[next_++]; }
    // The next token, whatever it is (a required argument may be any word).
    const std::wstring* required() { return atEnd() ? nullptr : &tokens_[next_++]; }
    // The next token when there is one and it is not a command word.
    const std::wstring* optional() {
        if (atEnd() || isCommandWord(tokens_[next_])) {
            return nullptr;
        }
        return &tokens_[next_++];
    }

  private:
    const std::vector<std::wstring>& tokens_;
    std::size_t next_ = 0;
};

std::wstring missing(std::wstring_view command, std::wstring_view what) {
    return std::wstring(command) + L": missing " + std::wstring(what);
}

}  // namespace

bool isCommandWord(std::wstring_view token) {
    return commandOf(token).has_value();
}

std::optional<std::uint32_t> parseNumber(std::wstring_view text) {
    const std::optional<std::uint64_t> value = parseDigits(text, 10);
    if (!value || *value > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

ParseResult parseScript(const std::vector<std::wstring>& tokens, bool implicitConnect) {
    ParseResult result;
    Reader in(tokens);
    if (implicitConnect && !tokens.empty() && !isCommandWord(tokens[0])) {
        if (tokens.size() < 2) {
            result.error = L"a service needs a topic: SERVICE TOPIC";
            return result;
        }
        Command c;
        c.op = Op::Connect;
        c.first = in.take();
        c.second = in.take();
        result.commands.push_back(std::move(c));
    }
    while (!in.atEnd()) {
        const std::wstring& word = in.take();
        const std::optional<Op> op = commandOf(word);
        if (!op) {
            result.error = L"unknown command: " + word;
            return result;
        }
        Command c;
        c.op = *op;
        auto need = [&](std::wstring& into, std::wstring_view what) {
            const std::wstring* token = in.required();
            if (token == nullptr) {
                result.error = missing(word, what);
                return false;
            }
            into = *token;
            return true;
        };
        auto needNumber = [&](std::wstring_view what) {
            std::wstring text;
            if (!need(text, what)) {
                return false;
            }
            const std::optional<std::uint32_t> n = parseNumber(text);
            if (!n || *n > 0x7FFFFFFFu) {
                result.error = word + L": not a number: " + text;
                return false;
            }
            c.number = *n;
            return true;
        };
        auto optionalFormat = [&]() {
            if (const std::wstring* token = in.optional()) {
                c.format = *token;
            }
        };
        bool ok = true;
        switch (c.op) {
            case Op::Connect:
            case Op::ConnectList:
                ok = need(c.first, L"SERVICE") && need(c.second, L"TOPIC");
                break;
            case Op::Use:
                ok = needNumber(L"N");
                break;
            case Op::Request:
                ok = need(c.first, L"ITEM");
                optionalFormat();
                break;
            case Op::Advise:
            case Op::Unadvise:
                ok = need(c.first, L"ITEM");
                if (ok) {
                    if (const std::wstring* token = in.optional()) {
                        if (*token == L"hot") {
                            c.mode = LinkMode::Hot;
                            optionalFormat();
                        } else if (*token == L"warm") {
                            c.mode = LinkMode::Warm;
                            optionalFormat();
                        } else {
                            c.format = *token;
                        }
                    }
                }
                break;
            case Op::Poke:
                ok = need(c.first, L"ITEM") && need(c.second, L"TEXT");
                optionalFormat();
                break;
            case Op::Execute:
            case Op::Echo:
                ok = need(c.first, L"TEXT");
                break;
            case Op::Wait:
            case Op::Timeout:
                ok = needNumber(L"MS");
                break;
            case Op::Disconnect:
            case Op::Atoms:
            case Op::Stdin:
                break;
        }
        if (!ok) {
            return result;
        }
        result.commands.push_back(std::move(c));
    }
    return result;
}

std::optional<std::vector<std::wstring>> tokenizeLine(std::wstring_view line, std::wstring& error) {
    std::vector<std::wstring> tokens;
    std::size_t i = 0;
    auto blank = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
    while (true) {
        while (i < line.size() && blank(line[i])) {
            ++i;
        }
        if (i >= line.size()) {
            break;
        }
        if (tokens.empty() && line[i] == L'#') {
            break;
        }
        std::wstring token;
        while (i < line.size() && !blank(line[i])) {
            if (line[i] != L'"') {
                token.push_back(line[i++]);
                continue;
            }
            ++i;  // opening quote
            bool closed = false;
            while (i < line.size()) {
                const wchar_t c = line[i++];
                if (c == L'"') {
                    closed = true;
                    break;
                }
                if (c != L'\\') {
                    token.push_back(c);
                    continue;
                }
                if (i >= line.size()) {
                    break;
                }
                const wchar_t e = line[i++];
                switch (e) {
                    case L'\\':
                    case L'"':
                        token.push_back(e);
                        break;
                    case L'n':
                        token.push_back(L'\n');
                        break;
                    case L'r':
                        token.push_back(L'\r');
                        break;
                    case L't':
                        token.push_back(L'\t');
                        break;
                    default:
                        error = L"unknown escape \\" + std::wstring(1, e);
                        return std::nullopt;
                }
            }
            if (!closed) {
                error = L"unterminated quote";
                return std::nullopt;
            }
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

}  // namespace ddetool
