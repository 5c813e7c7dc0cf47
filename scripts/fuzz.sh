#!/usr/bin/env bash
# Long libFuzzer run of one target under AddressSanitizer + UndefinedBehaviorSanitizer:
#   bash scripts/fuzz.sh <name> [seconds]   (default 600)
# Builds with Debian's clang in build-fuzz; new inputs go to build-fuzz/corpus-<name>,
# the checked-in seeds in fuzz/<name>/corpus are read, not written.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: fuzz.sh <name> [seconds]}
seconds=${2:-600}
bash scripts/deps.sh
CC=clang CXX=clang++ bash scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=Debug \
  -DBELVANTO_SANITIZE=address,undefined -DBELVANTO_FUZZ=ON -DBELVANTO_BUILD_BENCH=OFF
mkdir -p "build-fuzz/corpus-$name"
dict=()
[ -f "fuzz/$name/dict" ] && dict=(-dict="$PWD/fuzz/$name/dict")
# Absolute paths: a target may change its working folder when it starts (hvp does).
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "build-fuzz/fuzz/$name/fuzz_$name" -max_total_time="$seconds" -timeout=10 "${dict[@]}" \
  -artifact_prefix="$PWD/build-fuzz/" "$PWD/build-fuzz/corpus-$name" "$PWD/fuzz/$name/corpus"
