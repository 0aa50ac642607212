#pragma once
// The text of an array value, where a topic reads arrays as rows (Arrays=tabs):
// a one-dimensional array as its elements' texts separated by tabs; a
// two-dimensional one as rows (the first index) separated by CR LF, each the
// elements (the second index) separated by tabs; an empty array "(null)".
// Each element reads as a value of its type does alone.
#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>

namespace korven {

// Nothing for an array of more dimensions, or of elements that have no text
// of their own (VARIANTs, interfaces, records). Raises _com_error when an
// element's text cannot be made.
std::optional<std::wstring> arrayText(SAFEARRAY* array, VARTYPE elementType);

}  // namespace korven
