#!/usr/bin/env bash
# Installs what is needed, builds, and runs the controller in the demo data root with
# simulated drives: a virtual CAN bus hub, the drive simulator and belvanto. After start-up
# the script types "2" (reset and enable) and "5" (start program) for you; then the
# terminal is belvanto's console (type "help"). Ctrl-C ends all.
#
# BELVANTO_BUILD_DIR: build folder (default build). Nothing here powers the machine off:
# shut-down commands are appended to BELVANTO_SHUTDOWN_LOG (default demo/shutdown.log).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
build=${BELVANTO_BUILD_DIR:-build}
case "$build" in /*) ;; *) build="$top/$build" ;; esac
bash scripts/deps.sh
bash scripts/build.sh "$build"

robot=demo/Data/Robots/JXRPivra4/JXRPivra4.xml
run=$(mktemp -d /tmp/belvanto-demo-XXXXXX)
export BELVANTO_CAN_HUB="$run/can0.sock"
export BELVANTO_SHUTDOWN_LOG=${BELVANTO_SHUTDOWN_LOG:-$top/demo/shutdown.log}

pids=()
cleanup() {
  # Controller first, then the simulator, then the bus.
  for ((i=${#pids[@]}-1; i>=0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

"$build"/tools/canhub/belvanto-canhub "$BELVANTO_CAN_HUB" --pcap "$run/bus.pcap" &
pids+=($!)
for _ in $(seq 50); do [ -S "$BELVANTO_CAN_HUB" ] && break; sleep 0.1; done
# The joints of the robot file, and the digital I/O module the project names.
"$build"/tools/drivesim/belvanto-drivesim "$robot" --dio 80 > "$run/drivesim.log" 2>&1 &
pids+=($!)

# belvanto's console: the scripted keys after start-up, then this terminal (whole lines).
# A background job reads /dev/null unless told otherwise, hence the saved descriptor.
exec 3<&0
mkfifo "$run/console"
{ sleep 4; echo 2; sleep 3; echo 5; exec cat; } <&3 > "$run/console" &
pids+=($!)
cd demo
"$build"/belvanto < "$run/console" &
pids+=($!)
wait "${pids[3]}"
