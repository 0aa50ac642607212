#pragma once
// The command language: tokens (command-line arguments, or the words of one line
// of standard input) parsed into commands. Pure and bounds-checked: no Windows
// call is made here, formats are kept as written and resolved when run.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ddetool {

enum class Op {
    Connect,
    ConnectList,
    Use,
    Request,
    Advise,
    Unadvise,
    Poke,
    Execute,
    Disconnect,
    Wait,
    Timeout,
    Echo,
    Atoms,
    Stdin,
};

enum class LinkMode { Hot, Warm };

struct Command {
    Op op = Op::Echo;
    std::wstring first;                  // service, item or text
    std::wstring second;                 // topic, or the text of a poke
    std::optional<std::wstring> format;  // as written; absent means TEXT
    LinkMode mode = LinkMode::Hot;
    std::uint32_t number = 0;  // conversation index, milliseconds
};

struct ParseResult {
    std::vector<Command> commands;
    std::wstring error;  // empty when the tokens parsed
};

// True for the words that start a command ("-" included, the same as "stdin").
bool isCommandWord(std::wstring_view token);

// Parses a whole token sequence. With implicitConnect, a sequence whose first
// token is no command word starts with "connect FIRST SECOND".
ParseResult parseScript(const std::vector<std::wstring>& tokens, bool implicitConnect);

// Splits one input line into tokens: blanks separate, double quotes group (with
// the escapes \\ \" \n \r \t inside), a line whose first token starts with '#'
// is a comment. Returns nullopt and sets error for an unterminated quote or an
// unknown escape.
std::optional<std::vector<std::wstring>> tokenizeLine(std::wstring_view line, std::wstring& error);

// A decimal number, or hexadecimal after "0x", that fits in 32 bits.
std::optional<std::uint32_t> parseNumber(std::wstring_view text);

}  // namespace ddetool
