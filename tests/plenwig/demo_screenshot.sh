#!/bin/sh
# Runs the demo window with its worker thread for two seconds, takes a
# screenshot of it into the build folder and checks that the 1D chart, the
# 2D chart and the gauge show.
#   demo_screenshot.sh DEMO CHECKER OUTDIR
set -eu
demo=$1
check=$2
out=$3
if [ -z "${DISPLAY:-}" ]; then
    echo "no display: run under xvfb-run"
    exit 77
fi
command -v import >/dev/null || { echo "import (ImageMagick) is not installed"; exit 1; }

geometry="$out/plenwig_demo.geometry"
shot="$out/plenwig_demo.png"
rm -f "$geometry" "$shot"
"$demo" --seconds 4 >"$geometry" &
pid=$!
sleep 2
window=$(sed -n 's/^window \([^ ]*\) .*/\1/p' "$geometry")
if [ -z "$window" ]; then
    echo "the demo reported no window"
    kill "$pid" 2>/dev/null || true
    exit 1
fi
import -window "$window" "$shot"
wait "$pid"
"$check" "$shot" "$geometry"
