#pragma once
// The text of a COM error as the system gives it: the system message for the
// HRESULT, or "IDispatch error #n" for codes of the dispatch range, or
// "Unknown error 0x%0lX".
#include <windows.h>

#include <string>

namespace korven {

std::string comErrorText(HRESULT hr);

// The fallback text used when the system has no message for hr.
std::string comErrorFallbackText(HRESULT hr);

// One trailing line feed removed, and one carriage return before it.
void trimMessageLineEnd(std::string& text);

}  // namespace korven
