#!/usr/bin/env bash
# The suite's bounded fuzz run: a fixed seed and a fixed number of inputs,
# starting from the committed seeds, in a fresh work folder (the seeds are
# only read). Fails on the first crash, sanitizer report or broken invariant;
# the input that did it is left in the work folder.
#
#   bounded-run.sh <fuzz target> <seed folder> <work folder> [libFuzzer flags...]
set -euo pipefail
target="$1" seeds="$2" work="$3"
shift 3
rm -rf "$work"
mkdir -p "$work/corpus"
exec "$target" -seed=1 -runs=300000 -max_len=4096 -timeout=10 \
  -malloc_limit_mb=64 -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work/corpus" "$seeds"
