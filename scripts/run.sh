#!/bin/sh
# Builds the bridge (only what changed) and runs it in this terminal with one
# simulated camera attached, so you can type commands and read events right
# away:
#   buscar / abrir 0 photos / disparar / vista 1 / vista 0 / cerrar / salir
# The bridge runs in BUILD/demo, where the folder `photos` is ready for
# `abrir 0 photos`; live-view frames go to BUILD/demo/live unless a
# live-view directory is given.
#
#   scripts/run.sh [LIVE-VIEW-DIRECTORY]         one simulated camera (gpbridge-sim)
#   scripts/run.sh --real [LIVE-VIEW-DIRECTORY]  the cameras actually connected
#   scripts/run.sh --example                     examples/host.py, simulated camera
#
# Debian packages are installed (scripts/install-deps.sh, as root or with
# sudo) only when one is missing. GPBRIDGE_BUILD names another build folder
# (default: build), GPBRIDGE_DEMO another demo folder (default: BUILD/demo).
# Nothing is left in the temporary folder afterwards.
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${GPBRIDGE_BUILD:-$repo/build}
mode=sim
case "${1:-}" in --real | --example) mode=${1#--}; shift ;; esac

say() { echo "gpbridge: $*" >&2; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/gpbridge-run.XXXXXX") || exit 1
child=""
trap 'rm -rf "$tmp"' EXIT
trap '[ -z "$child" ] || { kill "$child" 2>/dev/null; wait "$child"; }; exit 130' INT TERM HUP

# Runs a step with its output in the log, shown only if it fails.
quietly() {
  "$@" </dev/null >"$tmp/log" 2>&1 && return
  cat "$tmp/log" >&2
  say "failed: $*"
  exit 1
}

missing=""
for pkg in build-essential cmake pkg-config libgphoto2-dev libgtest-dev python3 util-linux mount; do
  dpkg-query -W -f '${db:Status-Status}' "$pkg" 2>/dev/null | grep -qx installed ||
    missing="$missing $pkg"
done
if [ -n "$missing" ]; then
  say "missing packages:$missing; installing them (scripts/install-deps.sh)..."
  quietly "$repo/scripts/install-deps.sh"
fi

# Configure once; after that the build itself re-runs cmake when needed.
if [ ! -f "$build/CMakeCache.txt" ]; then
  say "configuring $build..."
  quietly cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
quietly cmake --build "$build" -j "$(nproc)"
grep -q 'Linking' "$tmp/log" && say "built what changed in $build"

demo=${GPBRIDGE_DEMO:-$build/demo}
mkdir -p "$demo/photos" "$demo/live" || exit 1
live=${1:-$demo/live}
case "$live" in /*) ;; *) live=$PWD/$live ;; esac
cd "$demo" || exit 1

# The child gets this terminal's input (an asynchronous command would get
# /dev/null); it is not exec'd so that the temporary folder is removed after.
exec 3<&0
case $mode in
  sim)
    say "ready, one simulated camera (cam1). Type commands, one per line; salir or Ctrl-D ends."
    say "\`abrir 0 photos\` saves photos in $demo/photos; live view goes to $live."
    say "From another terminal, $build/gpbridge-sim shoot cam1 presses its shutter button" \
      "and $build/gpbridge-sim unplug cam1 pulls its cable (plug cam1 puts it back)."
    "$build/gpbridge-sim" "$live" <&3 3<&- &
    ;;
  real)
    say "ready, real cameras. Type commands, one per line; salir or Ctrl-D ends."
    say "\`abrir 0 photos\` saves photos in $demo/photos; live view goes to $live."
    "$build/gpbridge" "$live" <&3 3<&- &
    ;;
  example)
    say "running examples/host.py against a simulated camera; photos go to $demo/photos"
    python3 "$repo/examples/host.py" "$build/gpbridge-sim" "$demo/photos" <&3 3<&- &
    ;;
esac
child=$!
wait "$child"
status=$?
child=""
exit "$status"
