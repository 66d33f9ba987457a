#!/bin/sh
# Builds what the photo booth needs (the bridge, the Node client) and serves
# the booth page on one simulated camera until Ctrl-C:
#   ./scripts/booth.sh [--real] [--port N] [--photos DIR] [--no-build] [-- SERVER-OPTIONS...]
# --real      use the cameras libgphoto2 detects (build/gpbridge, this environment)
# --port N    serve on another port (default 8080)
# --photos    download folder (default build/booth-photos; kept after exit)
# --no-build  use what build/ and clients/node/dist already hold
# Options after -- go to examples/booth/server.mjs (--host, --allow-host, --grace).
# Temporary folders (simulated card, live-view frames) are removed on exit:
# the card goes in $TMPDIR (default /tmp), the frames in $BOOTH_TMPFS
# (default /dev/shm, kept in memory).
# Ctrl-C (or SIGTERM) stops the booth in order within a few seconds, a
# photo being copied or not; a second Ctrl-C stops it at once.
set -e
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BOOTH_BUILD:-$repo/build}
real=0
port=8080
photos="$build/booth-photos"
make=1
while [ $# -gt 0 ]; do
  case "$1" in
    --real) real=1; shift ;;
    --port) port=$2; shift 2 ;;
    --photos) photos=$2; shift 2 ;;
    --no-build) make=0; shift ;;
    --) shift; break ;;
    *) echo "booth: unknown option $1 (use --real, --port N, --photos DIR, --no-build, -- SERVER-OPTIONS)" >&2; exit 2 ;;
  esac
done

[ "$make" = 1 ] || {
  [ -x "$build/gpbridge" ] && [ -f "$repo/clients/node/dist/index.js" ] ||
    { echo "booth: nothing built in $build and clients/node/dist; run without --no-build" >&2; exit 1; }
}
scratch=${TMPDIR:-/tmp}
log=$(mktemp "$scratch/gpbridge-booth-setup.XXXXXX")
if [ "$make" = 1 ]; then
  echo "booth: building (log: $log)..." >&2
  if ! { { command -v cmake >/dev/null && pkg-config --exists libgphoto2 || "$repo/scripts/install-deps.sh"; } &&
         cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
         cmake --build "$build" -j "$(nproc)" &&
         cd "$repo/clients/node" && { [ -d node_modules ] || npm ci --no-audit --no-fund; } && npm run build; } \
       </dev/null >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
fi
rm -f "$log"

# Frames are replaced up to 100 times a second: keep them in memory.
shm=${BOOTH_TMPFS:-/dev/shm}
[ -d "$shm" ] && [ -w "$shm" ] || shm=$scratch
tmp=$(mktemp -d "$scratch/gpbridge-booth.XXXXXX")
live=$(mktemp -d "$shm/gpbridge-booth-live.XXXXXX")
server=
# The server stops in order on one SIGTERM (it kills the bridge itself after
# its grace period); if it has not gone some seconds later, or on a second
# Ctrl-C here, it is killed.
cleanup() {
  if [ -n "$server" ]; then
    trap 'kill -KILL "$server" 2>/dev/null' INT TERM
    kill -TERM "$server" 2>/dev/null || true
    (
      trap 'kill "$nap" 2>/dev/null; exit 0' TERM
      sleep 10 & nap=$!
      wait "$nap" && kill -KILL "$server"
    ) >/dev/null 2>&1 &
    dog=$!
    while kill -0 "$server" 2>/dev/null; do wait "$server" 2>/dev/null || true; done
    kill "$dog" 2>/dev/null || true
  fi
  rm -rf "$tmp" "$live"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
mkdir -p "$photos"

if [ "$real" = 1 ]; then
  bridge="$build/gpbridge"
else
  # One simulated camera: a card folder mounted in a private namespace.
  mkdir -p "$tmp/card/DCIM" "$tmp/card/sim"
  sample="$repo/examples/booth/sample"
  if [ -d "$sample" ]; then
    {
      # A scene that moves, played in a loop at about 25 frames a second (the
      # server sends a frame only when it differs from the last one).
      printf 'previewdelay\t40000\n'
      for f in "$sample"/live/frame-*.jpg; do printf 'frame\t@%s\n' "$f"; done
      i=1
      while [ $i -le 500 ]; do
        printf 'next\t/store_00010001/DCIM/100SIMUL\tIMG_%04d.JPG\t@%s\n' $i "$sample/photo.jpg"
        i=$((i + 1))
      done
    } >"$tmp/card/sim/scenario"
  fi
  bridge="$tmp/bridge"
  cat >"$bridge" <<EOF
#!/bin/sh
exec "$repo/tests/harness/ns-run" --card "$tmp/camera=$tmp/card" -- \\
  env CAMLIBS="$build/camlibs" "$build/gpbridge" "\$@"
EOF
  chmod +x "$bridge"
  echo "booth: one simulated camera (card in $tmp/card; append control lines to $tmp/card/sim/control)" >&2
fi
echo "booth: photos go to $photos; live-view frames in $live; Ctrl-C to stop" >&2
# In its own session: a Ctrl-C reaches this script only, which then stops
# the server with one signal (two at once would mean "stop now").
setsid node "$repo/examples/booth/server.mjs" --port "$port" --photos "$photos" --live "$live" --bridge "$bridge" "$@" </dev/null &
server=$!
wait "$server"
