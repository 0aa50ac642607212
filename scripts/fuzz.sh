#!/usr/bin/env bash
# The long fuzz run, for developers:
#
#   scripts/fuzz.sh [seconds] [stream|section] [libFuzzer flags...]
#
# Default: 600 seconds of the data-change decoder (stream); section is the
# loader's section-name list. Builds the host fuzz targets with clang into
# build/fuzz, grows the corpus in build/fuzz/corpus/<target> (starting from
# tests/fuzz/seeds/<target>, which it only reads) and leaves each crashing,
# leaking or slow input in build/fuzz/crashes/<target>/. Replay one with:
#   build/fuzz/<target>_fuzz build/fuzz/crashes/<target>/<file>
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
seconds="${1:-600}"
target="${2:-stream}"
shift $(($# < 2 ? $# : 2))
dir="$root/build/fuzz"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$root/tests/fuzz" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
cmake --build "$dir" -j 2 -- --no-print-directory >/dev/null
mkdir -p "$dir/corpus/$target" "$dir/crashes/$target"
exec "$dir/${target}_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -malloc_limit_mb=64 -print_final_stats=1 \
  -artifact_prefix="$dir/crashes/$target/" "$@" "$dir/corpus/$target" \
  "$root/tests/fuzz/seeds/$target"
