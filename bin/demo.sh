#!/bin/sh
# Tries the program out without hardware: the board simulator plays one
# readout board on 127.0.0.2, and brisko starts with its window on the
# configuration in config/demo/, with a home of its own, so that the user's
# configuration stays as it is. The board sends events at 1 kHz once a run
# starts; the run files go to that home's data folder unless another is
# chosen.
#   bin/demo.sh [BUILD_DIR] [brisko options...]
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
[ $# -gt 0 ] && shift
home=${BRISKO_DEMO_HOME:-${XDG_RUNTIME_DIR:-/tmp}/brisko-demo}
# A home as a user's has it, and the user's own XDG folders out of reach:
# the program keeps its configuration there, and the file chooser its
# recent files.
export XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"

# The board network on loopback.
export FENROW_BIND_ADDRESS=127.0.0.1 FENROW_KNOCK_ADDRESS=127.255.255.255

"$build/bin/fenrow_board_sim" --address 127.0.0.2 --mode serial --streams 1 --chips 1 --count 0 \
    --rate 1000 --on-start >"$home/board.log" 2>&1 &
board=$!
trap 'kill $board 2>/dev/null; wait $board 2>/dev/null || true' EXIT INT TERM

echo "The board simulator plays 127.0.0.2 (its output: $home/board.log)."
echo "brisko runs with HOME=$home; quit it from its File menu."
HOME=$home "$build/bin/brisko" "$@" "$src/config/demo/brisko-demo.xml"
