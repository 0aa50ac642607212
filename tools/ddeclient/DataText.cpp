#include "DataText.h"

#include "ClipboardFormat.h"
#include "CodePageText.h"
#include "TextEscape.h"

namespace ddetool {

std::string printableText(std::string_view bytes, UINT format) {
    std::wstring wide;
    const TextKind kind = textKindOf(format);
    if (kind == TextKind::Utf16) {
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const auto unit = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                                   (static_cast<unsigned char>(bytes[i + 1]) << 8));
            if (unit == L'\0') {
                break;
            }
            wide.push_back(unit);
        }
    } else {
        const std::size_t end = bytes.find('\0');
        const std::string_view text = bytes.substr(0, end);
        wide = bytesToWide(text, kind == TextKind::Oem ? CP_OEMCP : CP_ACP);
    }
    return escape(toUtf8(wide), false);
}

std::string dataFields(std::string_view bytes, UINT format) {
    return "bytes=" + std::to_string(bytes.size()) + " hex=" + hexBytes(bytes) +
           " text=" + printableText(bytes, format);
}

std::string encodeText(std::wstring_view text, UINT format) {
    std::string bytes;
    switch (textKindOf(format)) {
        case TextKind::Utf16:
            for (const wchar_t c : text) {
                bytes.push_back(static_cast<char>(c & 0xFF));
                bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
            }
            bytes.append(2, '\0');
            return bytes;
        case TextKind::Oem:
            bytes = wideToBytes(text, CP_OEMCP);
            break;
        case TextKind::Ansi:
            bytes = wideToBytes(text, CP_ACP);
            break;
    }
    bytes.push_back('\0');
    return bytes;
}

}  // namespace ddetool
