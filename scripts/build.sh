#!/usr/bin/env bash
# Installs what is missing, then configures and builds both architectures:
#   build/x86_64  (the main target, with the tests)
#   build/i686    (the 32-bit programs, without unit tests)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
jobs="$(nproc 2>/dev/null || echo 2)"
for arch in x86_64 i686; do
  dir="$root/build/$arch"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" >/dev/null
  fi
  cmake --build "$dir" -j "$jobs" -- --no-print-directory
done
