#pragma once
// Conversions between narrow text in an ANSI code page and wide text.
// Both raise _com_error on failure: HRESULT_FROM_WIN32 of the last error for a
// failed conversion, E_OUTOFMEMORY for a failed allocation.
#include <windows.h>
#include <oleauto.h>

namespace korven {

// Narrow (code page, default the system ANSI code page) to a new BSTR; the text
// is taken up to its NUL. Null in, null out.
BSTR narrowToWide(const char* text, UINT codePage = CP_ACP);

// Wide to narrow bytes in the code page, NUL-terminated, allocated with new[];
// the text is taken up to its first NUL. Null in, null out.
char* wideToNarrow(const wchar_t* text, UINT codePage = CP_ACP);

// Below this many wide characters the narrow-to-wide scratch lives on the stack.
constexpr int kStackScratchChars = 4096;

}  // namespace korven
