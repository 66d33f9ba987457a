#!/bin/sh
# Builds what the photo booth needs (the bridge, the Node client) and serves
# the booth page on one simulated camera until Ctrl-C:
#   ./scripts/booth.sh [--real] [--port N] [--photos DIR]
# --real     use the cameras libgphoto2 detects (build/gpbridge, this environment)
# --port N   serve on another port (default 8080)
# --photos   download folder (default build/booth-photos; kept after exit)
# Temporary folders (simulated card, live-view frames) are removed on exit.
set -e
repo=$(cd "$(dirname "$0")/.." && pwd)
real=0
port=8080
photos="$repo/build/booth-photos"
while [ $# -gt 0 ]; do
  case "$1" in
    --real) real=1; shift ;;
    --port) port=$2; shift 2 ;;
    --photos) photos=$2; shift 2 ;;
    *) echo "booth: unknown option $1 (use --real, --port N, --photos DIR)" >&2; exit 2 ;;
  esac
done

log=$(mktemp /tmp/gpbridge-booth-setup.XXXXXX)
echo "booth: building (log: $log)..." >&2
if ! { { command -v cmake >/dev/null && pkg-config --exists libgphoto2 || "$repo/scripts/install-deps.sh"; } &&
       cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$repo/build" -j "$(nproc)" &&
       cd "$repo/clients/node" && { [ -d node_modules ] || npm ci --no-audit --no-fund; } && npm run build; } \
     </dev/null >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
rm -f "$log"

# Frames are replaced up to 100 times a second: keep them in memory.
shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm=${TMPDIR:-/tmp}
tmp=$(mktemp -d /tmp/gpbridge-booth.XXXXXX)
live=$(mktemp -d "$shm/gpbridge-booth-live.XXXXXX")
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$tmp" "$live"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir -p "$photos"

if [ "$real" = 1 ]; then
  bridge="$repo/build/gpbridge"
else
  # One simulated camera: a card folder mounted in a private namespace.
  mkdir -p "$tmp/card/DCIM" "$tmp/card/sim"
  sample="$repo/examples/booth/sample"
  if [ -d "$sample" ]; then
    {
      printf 'frame\t@%s\n' "$sample/frame.jpg"
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
  env CAMLIBS="$repo/build/camlibs" "$repo/build/gpbridge" "\$@"
EOF
  chmod +x "$bridge"
  echo "booth: one simulated camera (card in $tmp/card; append control lines to $tmp/card/sim/control)" >&2
fi
echo "booth: photos go to $photos; Ctrl-C to stop" >&2
node "$repo/examples/booth/server.mjs" --port "$port" --photos "$photos" --live "$live" --bridge "$bridge" </dev/null &
server=$!
wait "$server"
