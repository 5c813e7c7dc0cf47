#!/usr/bin/env bash
# Installs what is needed, builds, and runs the controller in the demo data root with
# simulated drives: a virtual CAN bus hub, the drive simulator and belvanto. After start-up
# the script types "2" (reset and enable) and "5" (start program) for you; then the
# terminal is belvanto's console (type "help"). Ctrl-C ends all.
#
# BELVANTO_BUILD_DIR: build folder (default build). Nothing here powers the machine off:
# shut-down commands are appended to BELVANTO_SHUTDOWN_LOG (default demo/shutdown.log).
# The serial operator panel is simulated on a pseudo-terminal behind the robot file's
# "DisplayPort" (demo/panel.tty); the script prints where to send its lines (e.g.
# "button 82" stops the program, "axis 0 200" jogs joint 1, "button 80" starts again).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
build=${BELVANTO_BUILD_DIR:-build}
case "$build" in /*) ;; *) build="$top/$build" ;; esac
bash scripts/deps.sh
# Only what the demo runs: the controller, the CAN hub, the drive and the panel simulators.
bash scripts/build.sh "$build" --target belvanto --target belvanto-canhub --target belvanto-drivesim \
  --target belvanto-panelsim

robot=demo/Data/Robots/JXRPivra4/JXRPivra4.xml
run=$(mktemp -d /tmp/belvanto-demo-XXXXXX)
export BELVANTO_CAN_HUB="$run/can0.sock"
export BELVANTO_SHUTDOWN_LOG=${BELVANTO_SHUTDOWN_LOG:-$top/demo/shutdown.log}
# The HVP server's port for PC front ends (and for socat, see the line printed below).
export BELVANTO_HVP_PORT=${BELVANTO_HVP_PORT:-3920}
# The panel detection tries no real serial device, only the simulated panel.
export BELVANTO_PANEL_PORTS="$top/demo/panel.tty"

pids=()
# Stops one child: SIGTERM, up to 10 s for it to end, then SIGKILL.
stop() {
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  # Controller first (it still talks to the drives while it exits), then the console
  # feeder, the panel, the simulator and the bus.
  for ((i=${#pids[@]}-1; i>=0; i--)); do stop "${pids[i]}"; done
  rm -f "$top/demo/panel.tty"
  rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# The children run in sessions of their own: Ctrl-C reaches this script only, which then
# stops them in order.
setsid "$build"/tools/canhub/belvanto-canhub "$BELVANTO_CAN_HUB" --pcap "$run/bus.pcap" &
pids+=($!)
for _ in $(seq 50); do [ -S "$BELVANTO_CAN_HUB" ] && break; sleep 0.1; done
# The joints of the robot file, and the digital I/O module the project names.
setsid "$build"/tools/drivesim/belvanto-drivesim "$robot" --dio 80 > "$run/drivesim.log" 2>&1 &
pids+=($!)
# The operator panel: its lines come from a fifo the script holds open, so it never sees
# the end of its input; decoded output frames go to its log.
mkfifo "$run/panel"
exec 4<>"$run/panel"
setsid "$build"/tools/panelsim/belvanto-panelsim --link "$top/demo/panel.tty" < "$run/panel" > "$run/panelsim.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -L "$top/demo/panel.tty" ] && break; sleep 0.1; done

# belvanto's console: the scripted keys once start-up is over (the first status line of
# the main loop in this run's log file), then this terminal (whole lines). The hints come
# after the start-up lines, so they stay on the screen. A background job reads /dev/null
# unless told otherwise, hence the saved descriptor.
exec 3<&0
mkfifo "$run/console"
touch "$run/started"
log="$top/demo/logMessages01.txt"
{
  for _ in $(seq 600); do
    [ "$log" -nt "$run/started" ] && grep -qs "Pos: " "$log" && break
    sleep 0.1
  done
  echo 2; sleep 3; echo 5; sleep 1
  {
    echo
    echo "Operator panel: echo \"button 82\" > $run/panel   (its output: $run/panelsim.log)"
    echo "HVP: printf 'HVPSTART 5 CMD GetVersion HVPEND' | socat -t2 - TCP:127.0.0.1:$BELVANTO_HVP_PORT"
    echo "Console: type a key and Enter, \"help\" lists them; Ctrl-C ends the demo"
    echo
  } >&2
  exec cat
} <&3 > "$run/console" &
pids+=($!)
cd demo
setsid "$build"/belvanto < "$run/console" &
pids+=($!)
wait "${pids[${#pids[@]}-1]}"
