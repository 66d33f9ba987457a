#!/bin/sh
# Builds the bridge and runs it in this terminal with one simulated camera
# attached, so you can type commands and read events right away:
#   buscar / abrir 0 photos / disparar / vista 1 / vista 0 / cerrar / salir
# With --real, runs the bridge against the cameras actually connected.
# Any further arguments are passed to the bridge (the live-view directory).
set -e
repo=$(cd "$(dirname "$0")/.." && pwd)
log=$(mktemp /tmp/gpbridge-setup.XXXXXX)
echo "gpbridge: installing packages and building (log: $log)..." >&2
if ! { "$repo/scripts/install-deps.sh" &&
       cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$repo/build" -j "$(nproc)"; } </dev/null >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
if [ "$1" = "--real" ]; then
  shift
  echo "gpbridge: ready, real cameras. Type commands, one per line." >&2
  exec "$repo/build/gpbridge" "$@"
fi
demo=$(mktemp -d /tmp/gpbridge-demo.XXXXXX)
mkdir -p "$demo/card/DCIM" "$demo/card/sim"
echo "gpbridge: ready, one simulated camera (card in $demo/card). Type commands, one per line." >&2
exec "$repo/tests/harness/ns-run" --card "$demo/camera=$demo/card" -- \
  env CAMLIBS="$repo/build/camlibs" "$repo/build/gpbridge" "$@"
