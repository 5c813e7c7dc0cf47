#!/usr/bin/env bash
# Configures and builds into the given folder (default build/). "--target NAME" arguments
# choose what is built (default everything); the other extra arguments go to cmake's
# configure step. The build runs CMAKE_BUILD_PARALLEL_LEVEL jobs when that is set, else
# one per processor.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
configure=()
targets=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--target" ] && [ $# -ge 2 ]; then
    targets+=(--target "$2")
    shift 2
  else
    configure+=("$1")
    shift
  fi
done
cmake -S . -B "$dir" -G Ninja "${configure[@]}" >/dev/null
cmake --build "$dir" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" "${targets[@]}"
