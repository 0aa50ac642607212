#pragma once
// The fields that show the bytes of a data item: "bytes=N hex=HEX text=TEXT".
#include <windows.h>

#include <string>
#include <string_view>

namespace ddetool {

// The printable form: the bytes read as text of the format (see textKindOf) up
// to the first NUL, as escaped UTF-8 that may hold blanks (the last field).
std::string printableText(std::string_view bytes, UINT format);

// "bytes=N hex=HEX text=TEXT" for the bytes of a data item of the format.
std::string dataFields(std::string_view bytes, UINT format);

// The bytes sent for TEXT in the format: the text with its terminating NUL in
// the ANSI or OEM code page, or UTF-16 for CF_UNICODETEXT.
std::string encodeText(std::wstring_view text, UINT format);

}  // namespace ddetool
