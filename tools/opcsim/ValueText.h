// Value texts of the scenario file and the control channel, and the journal's
// rendering of values: both directions between text and a typed VARIANT.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <string_view>

namespace opcsim {

// The type named by a scenario type word ("VT_I4", "VT_ARRAY|VT_R8",
// "VT_ARRAY|VT_VARIANT", ...); nullopt for a name that is not a supported
// item type.
std::optional<VARTYPE> parseTypeName(std::string_view name);
std::string typeName(VARTYPE vt);

// Parses `text` as a value of type `vt` into `out` (which must be cleared or
// empty). Integers take decimal or 0x hex; VT_R4/VT_R8/VT_DATE a decimal
// number; VT_CY and VT_DECIMAL a decimal number (exact); VT_BOOL true/false/
// 1/0; VT_ERROR a code; VT_BSTR a quoted text ("..." with \" \\ \n \t \uXXXX);
// an array as ArrayText.h writes it. Returns an error text or empty.
std::string parseValue(std::string_view text, VARTYPE vt, VARIANT* out);

// parseValue of a type without VT_ARRAY: one value, or one array element.
std::string parseScalar(std::string_view text, VARTYPE vt, VARIANT* out);

// The text of one value of a scalar type `vt` (not VT_VARIANT) whose data
// lies at `data`, as a VARIANT's payload or an array's element does.
std::string formatScalar(VARTYPE vt, const void* data);

// Decodes a quoted text; nullopt when it is not one.
std::optional<std::wstring> parseQuoted(std::string_view text);

// "TYPE:value" as the journal writes it, for instance VT_I4:42, VT_BSTR:"x".
std::string formatValue(const VARIANT& v);

// The journal's quoted form of a wide text (UTF-8, escapes for quotes,
// backslashes and control characters).
std::string quote(const wchar_t* text);
std::string quote(std::wstring_view text);

std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view text);

}  // namespace opcsim
