#!/usr/bin/env bash
# Writes tests/fuzz/seeds again; the result is committed.
#   seeds/stream   blocks made by the simulation server's encoder (tools/opcsim),
#                  captured by fuzz_seed_writer.exe under wine64 (needs the
#                  x86_64 build, scripts/build.sh)
#   seeds/section  section-name lists: the returned count (2 bytes, little-
#                  endian), then the buffer as GetPrivateProfileSectionNamesA
#                  leaves it
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$root/build/x86_64"
cmake --build "$build" --target fuzz_seed_writer -- --no-print-directory >/dev/null
rm -rf "$here/seeds"
mkdir -p "$here/seeds/stream" "$here/seeds/section"
(cd "$here/seeds/stream" && "$root/scripts/wine-run.sh" "$build/tests/fuzz_seed_writer.exe")
cd "$here/seeds/section"
printf '\015\000Line1\000Line22\000\000\000\000' >whole.bin
printf '\016\000Line1\000Line2\000AB\000\000' >cut.bin
ls -l "$here/seeds"/*
