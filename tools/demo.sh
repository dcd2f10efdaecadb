#!/usr/bin/env bash
# NarwickPanel demo: installs what the build needs, builds, creates the data folder, and runs
# the program against the simulated instrument (COM7) and pressure gauge (COM8).
#
#   tools/demo.sh [--no-install] [--no-build] [--mqtt] [-- SIMULATOR OPTIONS...]
#
# --mqtt also starts a private mosquitto broker on 127.0.0.1 (a free port, its configuration
# and persistence in the demo's temporary folder), runs the program with --mqtt and prints the
# mosquitto_sub command that shows the messages.
#
# In the window: pick 7 in the top list, 8 in "Secondary COM Port:", and "Save all readings".
# While it runs, faults can be sent to the simulator through the command file it prints
# (for example: echo 'hangup 8' > .../commands). When the window closes, the simulator stops and
# prints what it sent.
#
# NARWICKPANEL_BIN       the program to run (default: build/app/narwickpanel)
# NARWICKPANEL_SIM_BIN   the simulator (default: build/tools/narwickpanel-sim)
# NARWICKPANEL_BUILD_DIR the build folder (default: build/ in the source tree)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${NARWICKPANEL_BUILD_DIR:-$root/build}
# What the demo builds and runs with; the window's typeface is compiled into the program.
packages=(cmake ninja-build g++ qt6-base-dev qt6-svg-dev libmosquitto-dev)

install=1
mqtt=0
compile=1
sim_args=()
while (($#)); do
    case $1 in
    --no-install) install=0 ;;
    --no-build) compile=0 ;;
    --mqtt) mqtt=1 ;;
    --help | -h)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    --)
        shift
        sim_args=("$@")
        break
        ;;
    *)
        echo "demo.sh: unknown option '$1' (try --help)" >&2
        exit 2
        ;;
    esac
    shift
done

say() { printf '\n== %s\n' "$*"; }

# 1. Packages.
((mqtt)) && packages+=(mosquitto mosquitto-clients)
if ((install)); then
    missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    if ((${#missing[@]})); then
        say "Installing ${missing[*]}"
        if ((EUID == 0)); then
            apt-get update
            DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
        elif command -v sudo >/dev/null; then
            sudo apt-get update
            sudo DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
                "${missing[@]}"
        else
            echo "demo.sh: please install as root: apt-get install ${missing[*]}" >&2
            exit 1
        fi
    fi
fi

# 2. Build (only what the demo runs).
program=${NARWICKPANEL_BIN:-$build/app/narwickpanel}
simulator=${NARWICKPANEL_SIM_BIN:-$build/tools/narwickpanel-sim}
if ((compile)); then
    targets=()
    [[ -z ${NARWICKPANEL_SIM_BIN:-} ]] && targets+=(narwickpanel-sim)
    [[ -z ${NARWICKPANEL_BIN:-} ]] && targets+=(narwickpanel)
    if ((${#targets[@]})); then
        say "Building ${targets[*]} in $build"
        if [[ -f $build/CMakeCache.txt ]]; then
            cmake -S "$root" -B "$build" >/dev/null # keep the folder's own settings
        else
            cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        fi
        cmake --build "$build" --target "${targets[@]}"
    fi
fi
for f in "$simulator" "$program"; do
    if ! command -v "$f" >/dev/null; then
        echo "demo.sh: $f is missing; run without --no-build" >&2
        exit 1
    fi
done

# 3. The data folder: the desktop's documents folder + Brindlecast/NarwickPanel. The program
# writes its readings files there but never creates it.
documents=""
if command -v xdg-user-dir >/dev/null; then
    documents=$(xdg-user-dir DOCUMENTS 2>/dev/null || true)
fi
# xdg-user-dir answers the home folder itself when no documents folder is configured, and
# passes on a relative one, which the program ignores; the program then uses ~/Documents.
if [[ -z $documents || $documents != /* || $documents == "$HOME" || $documents == "$HOME/" ]]; then
    documents=$HOME/Documents
fi
data=$documents/Brindlecast/NarwickPanel
mkdir -p "$data"
say "Readings files go to $data"

# 4. The simulator, on a private COM directory, then the program in the foreground.
work=$(mktemp -d "${TMPDIR:-/tmp}/narwickpanel-demo.XXXXXX")
comdir=$work/com
mkdir "$comdir"
mkfifo "$work/commands"
# Held open for reading and writing, so the simulator's input never ends and opening the
# command file for writing never blocks.
exec 3<>"$work/commands"

sim_pid=""
broker_pid=""
finish() {
    local status=$?
    trap - EXIT INT TERM
    if [[ -n $broker_pid ]] && kill -0 "$broker_pid" 2>/dev/null; then
        kill -TERM "$broker_pid" 2>/dev/null || true
        wait "$broker_pid" 2>/dev/null || true
    fi
    if [[ -n $sim_pid ]] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    exec 3>&-
    if [[ -f $work/sim.log ]]; then
        say "Simulator report"
        sed -n '/^narwickpanel-sim report/,$p' "$work/sim.log"
    fi
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$simulator" --com-dir "$comdir" ${sim_args[@]+"${sim_args[@]}"} <&3 >"$work/sim.log" 2>&1 &
sim_pid=$!

# Wait until both devices are published.
for _ in $(seq 100); do
    grep -q '^gauge: COM' "$work/sim.log" 2>/dev/null && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
done
if ! grep -q '^gauge: COM' "$work/sim.log" 2>/dev/null; then
    echo "demo.sh: the simulator did not start:" >&2
    cat "$work/sim.log" >&2
    exit 1
fi
say "Simulated devices"
grep -E '^(instrument|gauge): COM' "$work/sim.log"
echo "Fault commands (silence S, noterm N, garbage B, longline B, hangup S [gauge], stop, start):"
echo "  echo 'hangup 8' > $work/commands"

program_args=()
if ((mqtt)); then
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    mkdir "$work/broker"
    {
        echo "listener $port 127.0.0.1"
        echo "allow_anonymous true"
        echo "persistence true"
        echo "persistence_location $work/broker/"
        ((EUID == 0)) && echo "user root"
    } >"$work/broker/mosquitto.conf"
    mosquitto -c "$work/broker/mosquitto.conf" >"$work/broker/log" 2>&1 &
    broker_pid=$!
    for _ in $(seq 100); do
        grep -q ' running' "$work/broker/log" 2>/dev/null && break
        sleep 0.05
    done
    say "A private broker on 127.0.0.1:$port; to watch the messages:"
    echo "  mosquitto_sub -h 127.0.0.1 -p $port -v -t 'narwickpanel/#'"
    program_args=(--mqtt "mqtt://127.0.0.1:$port" --mqtt-station demo)
fi

say "Starting NarwickPanel: pick 7 in the top list, 8 in \"Secondary COM Port:\", then \"Save all readings\""
NARWICKPANEL_COM_DIR=$comdir "$program" ${program_args[@]+"${program_args[@]}"}
