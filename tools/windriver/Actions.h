#pragma once
// What the window driver does to the window it found: one function per command,
// each printing one result line; false when the step failed.
#include "DriverScript.h"

namespace windriver {

bool runStep(const WindowQuery& query, const Step& step);

}  // namespace windriver
