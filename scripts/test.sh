#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both architectures,
# packages both, then runs every unit and end-to-end test under Wine (x86_64)
# through CTest.
# Leaves no process behind.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh"
# Both architectures' installers and zips, their contents checked (the x86
# installer cannot run here; the x64 one is installed by a test).
"$root/scripts/package.sh" --no-build >/dev/null
build="$root/build/x86_64"
export KORVEN_WINE_DIR="$build/wine"
trap '"$root/scripts/wine-session.sh" stop' EXIT
cd "$build"
ctest --output-on-failure -j 2 --timeout 600 "$@"
