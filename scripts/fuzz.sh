#!/usr/bin/env bash
# Long libFuzzer run of one target under AddressSanitizer + UndefinedBehaviorSanitizer:
#   bash scripts/fuzz.sh <name> [seconds]   (default 600)
# Builds with Debian's clang in build-fuzz; new inputs go to build-fuzz/corpus-<name>, crash
# inputs to build-fuzz/artifacts-<name>/; the checked-in seeds in fuzz/<name>/corpus are read,
# not written.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: fuzz.sh <name> [seconds]}
seconds=${2:-600}
bash scripts/deps.sh
CC=clang CXX=clang++ bash scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=Debug \
  -DBELVANTO_SANITIZE=address,undefined -DBELVANTO_FUZZ=ON -DBELVANTO_BUILD_BENCH=OFF
# Absolute paths: a target may change its working directory (into a temporary data root).
top=$PWD
mkdir -p "$top/build-fuzz/corpus-$name" "$top/build-fuzz/artifacts-$name"
dict=()
[ -f "fuzz/$name/dict" ] && dict=(-dict="$top/fuzz/$name/dict")
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$top/build-fuzz/fuzz/$name/fuzz_$name" -max_total_time="$seconds" -timeout=10 "${dict[@]}" \
  -artifact_prefix="$top/build-fuzz/artifacts-$name/" \
  "$top/build-fuzz/corpus-$name" "$top/fuzz/$name/corpus"
