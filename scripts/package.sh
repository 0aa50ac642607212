#!/usr/bin/env bash
# Builds both architectures and their packages into build/packages:
#   KORVEN-<version>-x64-setup.exe  KORVEN-<version>-x64.zip
#   KORVEN-<version>-x86-setup.exe  KORVEN-<version>-x86.zip
#   SHA256SUMS
# The version is the one of project(KORVEN VERSION ...) in CMakeLists.txt.
#   scripts/package.sh              # build (scripts/build.sh), then package
#   scripts/package.sh --no-build   # package the builds as they are
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "${1:-}" in
  --no-build) ;;
  "") "$root/scripts/build.sh" ;;
  *) echo "usage: $0 [--no-build]" >&2; exit 2 ;;
esac

out="$root/build/packages"
rm -rf "$out"
mkdir -p "$out"
for arch in x86_64 i686; do
  # Each build's target makes its installer and zip and checks their listings.
  cmake --build "$root/build/$arch" --target packages -- --no-print-directory
  cp "$root/build/$arch/packages/"KORVEN-* "$out/"
done
(cd "$out" && sha256sum KORVEN-* >SHA256SUMS)
ls -l "$out"
