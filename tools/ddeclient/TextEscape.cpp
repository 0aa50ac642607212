#include "TextEscape.h"

namespace ddetool {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

void appendHexByte(std::string& out, unsigned char byte) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0F]);
}

void appendCodePoint(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool isHigh(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLow(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

std::string toUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (isHigh(c) && i + 1 < text.size() && isLow(text[i + 1])) {
            const char32_t cp = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                                (static_cast<char32_t>(text[i + 1]) - 0xDC00);
            appendCodePoint(out, cp);
            ++i;
        } else if (isHigh(c) || isLow(c)) {
            out += "\\u";
            const auto v = static_cast<unsigned>(c);
            appendHexByte(out, static_cast<unsigned char>(v >> 8));
            appendHexByte(out, static_cast<unsigned char>(v & 0xFF));
        } else {
            appendCodePoint(out, static_cast<char32_t>(static_cast<unsigned>(c) & 0xFFFF));
        }
    }
    return out;
}

std::string escape(std::string_view utf8, bool escapeSpace) {
    std::string out;
    out.reserve(utf8.size());
    for (const char ch : utf8) {
        const auto byte = static_cast<unsigned char>(ch);
        switch (byte) {
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F || (escapeSpace && byte == ' ')) {
                    out += "\\x";
                    appendHexByte(out, byte);
                } else {
                    out.push_back(ch);
                }
        }
    }
    return out;
}

std::string fieldText(std::wstring_view text) {
    return escape(toUtf8(text), true);
}

std::string hexBytes(const void* data, std::size_t size) {
    std::string out;
    out.reserve(size * 2);
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        appendHexByte(out, bytes[i]);
    }
    return out;
}

std::string hexNumber(std::uint64_t value, int digits) {
    std::string body;
    do {
        body.insert(body.begin(), kDigits[value & 0x0F]);
        value >>= 4;
    } while (value != 0);
    while (static_cast<int>(body.size()) < digits) {
        body.insert(body.begin(), '0');
    }
    return "0x" + body;
}

}  // namespace ddetool
