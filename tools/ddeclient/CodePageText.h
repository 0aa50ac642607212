#pragma once
// Conversions between wide text and bytes in a Windows code page.
#include <windows.h>

#include <string>
#include <string_view>

namespace ddetool {

// Bytes in the code page to wide text; "" when the bytes are not valid there
// and `strict` is set (MB_ERR_INVALID_CHARS), else invalid bytes are replaced.
std::wstring bytesToWide(std::string_view bytes, UINT codePage, bool strict = false);

// Wide text to bytes in the code page (characters outside it become '?').
std::string wideToBytes(std::wstring_view text, UINT codePage);

// A line read from a pipe or file: UTF-8 when it is valid UTF-8, else the ANSI
// code page.
std::wstring inputLineToWide(std::string_view bytes);

}  // namespace ddetool
