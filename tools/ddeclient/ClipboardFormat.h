#pragma once
// FORMAT words: TEXT, UNICODETEXT, OEMTEXT, a number, or any other name, which
// is registered with RegisterClipboardFormat (registered numbers differ between
// sessions, so names are resolved at run time, never written into code).
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace ddetool {

// The clipboard format the word names; nullopt for a number outside 1..0xFFFF
// or a name the system refuses to register.
std::optional<UINT> resolveClipboardFormat(const std::optional<std::wstring>& word);

// How the bytes of a format are read as text: UTF-16 for CF_UNICODETEXT, the
// OEM code page for CF_OEMTEXT, the ANSI code page for everything else.
enum class TextKind { Ansi, Oem, Utf16 };
TextKind textKindOf(UINT format);

}  // namespace ddetool
