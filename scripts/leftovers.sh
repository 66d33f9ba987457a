#!/bin/sh
# Checks that a test run leaves nothing behind outside the clone.
#
#   scripts/leftovers.sh snapshot DIR   lists /, /tmp and /dev/shm into DIR
#   scripts/leftovers.sh compare DIR    lists them again and names what is new
#
# A new entry directly under / fails (status 1). New entries in /tmp or
# /dev/shm are warnings: the run may share the machine with other programs,
# so each one is shown with the files of this tree that use its name's
# stem, which is usually the test that made it.
set -u
cd "$(dirname "$0")/.."
what=${1:?usage: leftovers.sh snapshot|compare DIR}
dir=${2:?usage: leftovers.sh snapshot|compare DIR}

list() {
  # One name a line, sorted; a folder that is not there lists as empty.
  ls -A "$1" 2>/dev/null | LC_ALL=C sort
}

# Where an entry probably comes from: the files here that name its stem
# (the name up to its last '-', '.' or '_' followed by random characters).
source_of() {
  case "$1" in
    .org.chromium.*|.com.google.Chrome.*) echo "Chromium (booth.browser)"; return ;;
  esac
  stem=$(printf '%s' "$1" | sed -E 's/[-._][A-Za-z0-9]{5,}$//; s/[0-9]+$//')
  [ -n "$stem" ] || { echo "unknown"; return; }
  users=$(git grep -l -F -- "$stem" -- tests clients examples bench scripts 2>/dev/null |
    grep -v '^scripts/leftovers.sh$' | head -5 | tr '\n' ' ')
  echo "${users:-unknown}"
}

case "$what" in
  snapshot)
    mkdir -p "$dir"
    list / >"$dir/root"
    list /tmp >"$dir/tmp"
    list /dev/shm >"$dir/shm"
    ;;
  compare)
    status=0
    for place in root tmp shm; do
      case $place in root) path=/ ;; tmp) path=/tmp ;; shm) path=/dev/shm ;; esac
      [ -f "$dir/$place" ] || continue
      list "$path" | LC_ALL=C comm -13 "$dir/$place" - >"$dir/$place.new"
      while IFS= read -r name; do
        if [ "$place" = root ]; then
          echo "leftovers: the run left /$name behind" >&2
          status=1
        else
          echo "leftovers: warning: new entry $path/$name (from: $(source_of "$name"))" >&2
        fi
      done <"$dir/$place.new"
    done
    [ $status = 0 ] && echo "leftovers: nothing new in /; /tmp and /dev/shm checked"
    exit $status
    ;;
  *) echo "usage: leftovers.sh snapshot|compare DIR" >&2; exit 2 ;;
esac
