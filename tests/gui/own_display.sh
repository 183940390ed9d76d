#!/bin/sh
# Runs a command on an X server of its own, so that window tests running in
# parallel never see each other's windows, focus or pointer (there is no
# window manager to keep them apart).
#   own_display.sh [--a11y] command [args...]
# --a11y runs the command inside a private D-Bus session with the toolkit's
# accessibility bridge loaded, so that its widgets can be read over AT-SPI.
# Listing a test binary's cases needs no display.
set -u
a11y=0
if [ "${1:-}" = "--a11y" ]; then a11y=1; shift; fi
case " $* " in
  *" --gtest_list_tests "*) exec "$@" ;;
esac

dir=$(mktemp -d "${TMPDIR:-/tmp}/brisko-x-XXXXXX") || exit 1
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$dir/display" \
     >"$dir/log" 2>&1 &
server=$!
i=0
while [ ! -s "$dir/display" ]; do
  i=$((i + 1))
  if [ $i -gt 200 ] || ! kill -0 "$server" 2>/dev/null; then
    echo "own_display.sh: Xvfb did not start" >&2
    cat "$dir/log" >&2
    exit 1
  fi
  sleep 0.05
done
DISPLAY=":$(head -n1 "$dir/display")"
export DISPLAY
unset XAUTHORITY

if [ $a11y -eq 1 ]; then
  GTK_MODULES=gail:atk-bridge NO_AT_BRIDGE=0 dbus-run-session -- "$@"
else
  "$@"
fi
