#pragma once
// The DDEML error numbers with their names, for output lines.
#include <windows.h>

#include <string>

namespace ddetool {

// "dmlerr=0x400A DMLERR_NO_CONV_ESTABLISHED" (an unknown number is named
// DMLERR_UNKNOWN).
std::string dmlErrorField(UINT error);

}  // namespace ddetool
