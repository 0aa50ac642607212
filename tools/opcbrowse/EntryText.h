#pragma once
// The texts of opcbrowse's output fields: type names, access rights and the
// system's message for a result code.
#include <windows.h>

#include <string>

namespace opcbrowse {

// "VT_I4", "VT_ARRAY|VT_R8", ...; "0xNNNN" for a type without a name.
std::string varTypeName(VARTYPE vt);

// "read", "write", "read-write", "none"; "0xN" when other bits are set.
std::string accessRightsName(DWORD rights);

// "0x800401F3" (eight uppercase digits).
std::string resultCode(HRESULT hr);

// The system's message for the code (no trailing line end); Windows' text
// for a few common codes the system has no message for; else
// "Unknown error 0xNNNNNNNN".
std::wstring resultText(HRESULT hr);

}  // namespace opcbrowse
