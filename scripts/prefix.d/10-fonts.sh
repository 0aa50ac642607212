#!/usr/bin/env bash
# The status window's dialog font is "MS UI Gothic", which Wine does not have:
# map it to IPA P Gothic (Debian's fonts-ipafont-gothic), a proportional
# Japanese font of like metrics, so labels and fields fit as on Windows and
# Japanese text shows. Idempotent.
set -euo pipefail
[ -f /usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf ] || exit 0
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS UI Gothic' /d 'IPAPGothic' /f >/dev/null
