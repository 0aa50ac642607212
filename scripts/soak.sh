#!/usr/bin/env bash
# Churn and soak of the bridge under load, as figures (scripts/soak.py):
#
#   scripts/soak.sh                   # churn of 2 x 1,000 conversations, a 10-minute soak
#   scripts/soak.sh --quick           # the same churn, a soak of about a minute
#   scripts/soak.sh --minutes 30      # a longer soak
#   scripts/soak.sh --server-stop exit --no-churn
#   scripts/soak.sh --help
#
# Builds what it runs in build/x86_64 when missing (KORVEN_BUILD_DIR chooses
# another build folder; --no-build skips it). Runs in a Wine session of its own,
# <build folder>/wine-soak (KORVEN_WINE_DIR), so the test suite's session is
# never touched; it starts and stops that session unless one already runs.
# Prints a summary table; exit code 0 when every check held, 1 otherwise.
# Logs stay in <build folder>/soak.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KORVEN_BUILD_DIR:-$root/build/x86_64}"
build_first=1
args=()
for arg in "$@"; do
  case "$arg" in
    --no-build) build_first=0 ;;
    -h | --help) sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed -e '$d' -e 's/^# \{0,1\}//'
                 python3 "$root/scripts/soak.py" --help; exit 0 ;;
    *) args+=("$arg") ;;
  esac
done
if [ $build_first -eq 1 ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    "$root/scripts/install-deps.sh"
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64.cmake" >/dev/null
  fi
  cmake --build "$build" -j 2 --target KORVEN ddeclient windriver opcsim opc_proxy bareserver -- --no-print-directory
fi
export KORVEN_BUILD_DIR="$build"
exec python3 "$root/scripts/soak.py" --build-dir "$build" "${args[@]}"
