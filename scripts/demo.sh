#!/usr/bin/env bash
# Installs what is needed, builds, and runs the controller in the demo data root with
# simulated drives: a virtual CAN bus hub, the drive simulator and belvanto. Ctrl-C ends all.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build

robot=demo/Data/Robots/JXRPivra4/JXRPivra4.xml
run=$(mktemp -d /tmp/belvanto-demo-XXXXXX)
export BELVANTO_CAN_HUB="$run/can0.sock"

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

build/tools/canhub/belvanto-canhub "$BELVANTO_CAN_HUB" --pcap "$run/bus.pcap" &
pids+=($!)
for _ in $(seq 50); do [ -S "$BELVANTO_CAN_HUB" ] && break; sleep 0.1; done
build/tools/drivesim/belvanto-drivesim "$robot" > "$run/drivesim.log" 2>&1 &
pids+=($!)

cd demo
../build/belvanto &
pids+=($!)
wait "${pids[2]}"
