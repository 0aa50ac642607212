#pragma once
// Milliseconds since the system started, for timings longer than a tick: the
// 10 ms timer runs at the system's timer resolution, so counting ticks is not
// a clock.
#include <windows.h>

namespace korven {

using TickSource = ULONGLONG (*)();

ULONGLONG tickCount();
// Tests only: read `source` instead of the system's count (null restores it).
void replaceTickSource(TickSource source);

}  // namespace korven
