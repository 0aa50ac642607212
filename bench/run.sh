#!/usr/bin/env bash
# Builds what the benchmarks run (64-bit build) and prints the table:
#
#   bench/run.sh            # every figure, 3 runs each (about 40 minutes)
#   bench/run.sh --quick    # one short run of each, to check that all works
#   bench/run.sh --only throughput --runs 5 --measure 20
#   bench/run.sh --help
#
# KORVEN_BUILD_DIR chooses the build folder (default build/x86_64),
# KORVEN_WINE_DIR the Wine session (default <build folder>/bench-wine, apart
# from the tests' session); a session started here is stopped at the end.
# Run it on a quiet machine: every figure is taken beside the bare DDEML
# server in the same run, but absolute figures follow the load.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
build="${KORVEN_BUILD_DIR:-$root/build/x86_64}"
case " $* " in
  *" --help "* | *" -h "*) exec python3 "$here/run.py" --help ;;
esac
if [ "${KORVEN_BENCH_NO_BUILD:-}" != 1 ]; then
  [ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64.cmake" >/dev/null
  cmake --build "$build" -j2 --target KORVEN opcsim opc_proxy windriver bareserver counter >/dev/null
fi
export KORVEN_BUILD_DIR="$build"
exec python3 "$here/run.py" "$@"
