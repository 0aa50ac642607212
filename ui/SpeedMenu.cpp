#include "ui/SpeedMenu.h"

#include "ui/ResourceIds.h"

namespace korven {

void applySpeedMenu(HMENU menu, DWORD mode) {
    constexpr DWORD kPause = 3;
    if (mode > kPause) {
        return;
    }
    EnableMenuItem(menu, IDM_REFRESH_NOW, MF_BYCOMMAND | (mode == kPause ? MF_GRAYED : MF_ENABLED));
    const UINT items[] = {IDM_SPEED_HIGH, IDM_SPEED_NORMAL, IDM_SPEED_LOW, IDM_SPEED_PAUSE};
    for (DWORD m = 0; m <= kPause; ++m) {
        CheckMenuItem(menu, items[m], MF_BYCOMMAND | (m == mode ? MF_CHECKED : MF_UNCHECKED));
    }
}

}  // namespace korven
