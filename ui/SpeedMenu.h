#pragma once
// The menu state of an update-speed mode: "&Refresh Now" enabled or greyed,
// and the check mark on the mode's item.
#include <windows.h>

namespace korven {

// Applies the state of mode 0..3 to the menu, always in the same order:
// 40015 first, then 40011 to 40014. Other modes change nothing.
void applySpeedMenu(HMENU menu, DWORD mode);

}  // namespace korven
