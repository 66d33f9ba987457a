#!/bin/sh
# Installs a built tree into a scratch staging folder and checks what a user
# gets: the binary and its man page are installed, and the installed binary
# runs, answers `buscar` with an empty camera list (no camera is reachable
# here: the system's drivers, no simulated camera), writes nothing to standard
# error and exits with status 0 at the end of its input. Also that
# gpbridge-sim, its man page and the simulated camera's driver (alone in its
# folder) are installed and run a simulated camera, and that the Debian
# package built by cpack holds them and names each dependency once.
#
#   scripts/check-install.sh BUILD-DIR
set -u
build=${1:?usage: check-install.sh BUILD-DIR}
stage=$(mktemp -d "${TMPDIR:-/tmp}/gpbridge-stage.XXXXXX") || exit 1
trap 'rm -rf "$stage"' EXIT

fail() {
  echo "check-install: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$stage/usr" >"$stage/install.log" 2>&1 ||
  { cat "$stage/install.log" >&2; fail "cmake --install failed"; }

bin="$stage/usr/bin/gpbridge"
[ -x "$bin" ] || fail "bin/gpbridge was not installed"

page=""
for candidate in "$stage/usr/share/man/man1/gpbridge.1" "$stage/usr/share/man/man1/gpbridge.1.gz"; do
  [ -f "$candidate" ] && page=$candidate
done
[ -n "$page" ] || fail "the man page share/man/man1/gpbridge.1[.gz] was not installed"
case "$page" in
  *.gz) gzip -dc "$page" >"$stage/page" || fail "the man page is not valid gzip" ;;
  *) cp "$page" "$stage/page" ;;
esac
grep -q '^\.TH GPBRIDGE 1 ' "$stage/page" || fail "the man page has no .TH GPBRIDGE 1 header"
for doc in protocol.md events.schema.json; do
  [ -f "$stage/usr/share/doc/gpbridge/$doc" ] || fail "share/doc/gpbridge/$doc was not installed"
done

# The system's camera drivers only: CAMLIBS and IOLIBS would point the camera
# library somewhere else (the tests use CAMLIBS for the simulated camera).
(
  unset CAMLIBS IOLIBS
  cd "$stage" && printf 'buscar\n' | timeout 60 "$bin" >"$stage/out" 2>"$stage/err"
)
status=$?
[ "$status" -eq 0 ] || fail "the installed gpbridge exited with status $status"
[ -s "$stage/err" ] && fail "the installed gpbridge wrote to standard error: $(cat "$stage/err")"
expected='{"e":"camaras","lista":[]}'
if [ "$(cat "$stage/out")" != "$expected" ] || [ "$(wc -l <"$stage/out")" -ne 1 ]; then
  fail "buscar answered $(cat "$stage/out") instead of $expected (is a camera or a card with a DCIM folder connected?)"
fi

# gpbridge-sim and the simulated camera.
sim="$stage/usr/bin/gpbridge-sim"
[ -x "$sim" ] || fail "bin/gpbridge-sim was not installed"
gzip -dc "$stage/usr/share/man/man1/gpbridge-sim.1.gz" 2>/dev/null | grep -q '^\.TH GPBRIDGE-SIM 1 ' ||
  fail "the man page share/man/man1/gpbridge-sim.1.gz was not installed"
[ "$(ls "$stage/usr/lib/gpbridge/camlibs" 2>/dev/null)" = simcam.so ] ||
  fail "lib/gpbridge/camlibs should hold simcam.so and nothing else: $(ls "$stage/usr/lib/gpbridge/camlibs" 2>&1)"
if unshare -m -r true 2>/dev/null || [ "$(id -u)" = 0 ]; then
  printf 'buscar\n' | timeout 60 "$sim" --dir "$stage/sim" >"$stage/out" 2>"$stage/err" ||
    fail "the installed gpbridge-sim failed: $(cat "$stage/err")"
  expected='{"e":"camaras","lista":[{"modelo":"Mass Storage Camera","puerto":"disk:'"$stage"'/sim/cam1"}]}'
  [ "$(cat "$stage/out")" = "$expected" ] && [ ! -s "$stage/err" ] ||
    fail "the installed gpbridge-sim answered $(cat "$stage/out" "$stage/err") instead of $expected"
else
  echo "check-install: no user namespaces here: the installed gpbridge-sim was not run"
fi

# The Debian package.
if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
  cpack --config "$build/CPackConfig.cmake" -B "$stage/deb" >"$stage/cpack.log" 2>&1 ||
    { cat "$stage/cpack.log" >&2; fail "cpack failed"; }
  deb=$(ls "$stage"/deb/gpbridge_*.deb)
  depends=$(dpkg-deb -f "$deb" Depends)
  twice=$(echo "$depends" | tr ',' '\n' | awk '{print $1}' | sort | uniq -d)
  [ -z "$twice" ] || fail "the package names $(echo $twice) more than once: Depends: $depends"
  for pkg in libgphoto2-6 mount; do
    echo "$depends" | tr ',' '\n' | awk '{print $1}' | grep -qx "$pkg" ||
      fail "the package does not depend on $pkg: Depends: $depends"
  done
  for file in ./usr/bin/gpbridge ./usr/bin/gpbridge-sim ./usr/lib/gpbridge/camlibs/simcam.so \
              ./usr/share/man/man1/gpbridge-sim.1.gz; do
    dpkg-deb -c "$deb" | awk '{print $NF}' | grep -qx "$file" || fail "the package lacks $file"
  done
fi
echo "check-install: gpbridge, gpbridge-sim, their man pages and docs install and run; the package's dependencies are listed once each"
