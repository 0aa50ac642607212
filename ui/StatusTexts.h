#pragma once
// The texts of the status page's fields.
#include <windows.h>

#include <string>

namespace korven {

// A UTC file time as local "%04d/%02d/%02d %02d:%02d:%02d"; "?" when a
// conversion fails; empty before the year 1900 (0 means nothing reported).
std::string formatStatusTime(const FILETIME& utc);

// The percent deadband truncated to three decimals, as "%d.%03d".
std::string deadbandText(float deadband);

// "RUNNING", "FAILED", "NOCONFIG", "SUSPENDED", "TEST", "COMMFAULT", else
// "UNKNOWN".
const char* serverStateText(DWORD state);

// "0x%08lX".
std::string hexWordText(DWORD value);

}  // namespace korven
