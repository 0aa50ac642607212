#pragma once
// Pure text helpers for the tools' line-oriented output: UTF-8 encoding of wide
// text, escaping that keeps one event on one line, and hexadecimal dumps.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ddetool {

// UTF-8 bytes of UTF-16 text. A lone surrogate is written as the escape \uXXXX
// (so it still round-trips through the escaped form).
std::string toUtf8(std::wstring_view text);

// UTF-8 text with backslash escapes: "\\" for a backslash, "\r", "\n", "\t", and
// "\xHH" for every other byte below 0x20 and for 0x7F. With escapeSpace, a space
// is written as "\x20" so the value holds no blank (a field in the middle of a
// line). Everything else, non-ASCII included, stays as it is.
std::string escape(std::string_view utf8, bool escapeSpace);

// A field value: the UTF-8 of the wide text, escaped, no blank in it.
std::string fieldText(std::wstring_view text);

// Uppercase hexadecimal of every byte, no separators ("" for no bytes).
std::string hexBytes(const void* data, std::size_t size);
inline std::string hexBytes(std::string_view bytes) {
    return hexBytes(bytes.data(), bytes.size());
}

// "0x" and the value in uppercase hexadecimal with at least `digits` digits.
std::string hexNumber(std::uint64_t value, int digits);

}  // namespace ddetool
