#!/bin/sh
# Installs a built tree into a scratch staging folder and checks what a user
# gets: the binary and its man page are installed, and the installed binary
# runs, answers `buscar` with an empty camera list (no camera is reachable
# here: the system's drivers, no simulated camera), writes nothing to standard
# error and exits with status 0 at the end of its input.
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
echo "check-install: gpbridge, its man page and docs install and run"
