#!/bin/sh
# Builds libgphoto2's virtual PTP camera (an emulated Nikon D750 behind the
# 'vusb' virtual USB port driver) together with the real 'ptp2' camera driver,
# into a private prefix the ptp.* tests load instead of the system library:
#
#   scripts/build-vcamera.sh PREFIX
#   scripts/build-vcamera.sh --mirror     (only print the mirror it would use)
#
# Debian's binary packages leave the virtual camera out, so the source package
# is fetched with apt-get source from Debian's trixie suite through an apt
# configuration of our own (the system's apt sources are not touched), patched
# with tests/ptp/*.patch and built without the libusb port driver (which would
# claim the usb: ports before the virtual one). Nothing is installed outside
# PREFIX. A stamp file makes a second run with the same version and patches
# do nothing.
#
# The mirror is the machine's own: the URI of its Debian archive entry in the
# apt sources (sources.list and sources.list.d/*.list one-line entries,
# sources.list.d/*.sources deb822 stanzas, where apt-config says they are).
# VCAMERA_MIRROR=URI overrides it.
set -eu

# Prints the URI of the first enabled Debian archive entry among the apt
# sources: a deb or deb-src entry with the main component and a suite that is
# not a security suite, through http, https, ftp or file; an entry signed with
# Debian's archive keyring is preferred over one that is not.
debian_mirror() {
  eval "$(apt-config shell LIST Dir::Etc::sourcelist/f PARTS Dir::Etc::sourceparts/d)"
  set --
  [ -f "$LIST" ] && set -- "$LIST"
  for f in "$PARTS"*.list "$PARTS"*.sources; do
    [ -f "$f" ] && set -- "$@" "$f"
  done
  [ $# -gt 0 ] || return 1
  # apt reads sources.list first, then the parts in the order of their names.
  first=$1
  shift
  # shellcheck disable=SC2016
  { echo "$first"; for f in "$@"; do echo "$f"; done | sort; } | tr '\n' '\0' |
    xargs -0 awk '
      function has(list, word,   n, i, w) {
        n = split(list, w, /[ \t]+/)
        for (i = 1; i <= n; i++) if (w[i] == word) return 1
        return 0
      }
      function archive(suites,   n, i, w) {
        n = split(suites, w, /[ \t]+/)
        for (i = 1; i <= n; i++)
          if (w[i] != "" && w[i] !~ /-security$/ && w[i] !~ /\/updates$/) return 1
        return 0
      }
      function consider(types, uris, suites, comps, signed, enabled,   n, i, u, score) {
        if (tolower(enabled) == "no" || !(has(types, "deb") || has(types, "deb-src"))) return
        if (!has(comps, "main") || !archive(suites)) return
        score = 1 + (signed ~ /debian-archive-keyring/ ? 1 : 0)
        n = split(uris, u, /[ \t]+/)
        for (i = 1; i <= n; i++)
          if (u[i] ~ /^(https?|ftp|file):/ && score > best) { best = score; found = u[i]; return }
      }
      function flush() {
        if (seen) consider(f["types"], f["uris"], f["suites"], f["components"], f["signed-by"], f["enabled"])
        split("", f); seen = 0; key = ""
      }
      FNR == 1 { flush(); deb822 = FILENAME ~ /\.sources$/ }
      deb822 && /^#/ { next }
      deb822 && /^[ \t]*$/ { flush(); next }
      deb822 && /^[ \t]/ { if (key != "") f[key] = f[key] " " $0; next }
      deb822 {
        key = tolower($0); sub(/:.*/, "", key)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value)
        f[key] = value; seen = 1; next
      }
      {
        sub(/#.*/, "")
        if (NF < 3) next
        types = $1; i = 2; signed = ""
        if ($2 ~ /^\[/) {
          # Options: [ key=value ... ], possibly with spaces inside the brackets.
          opts = ""
          for (; i <= NF; i++) { opts = opts " " $i; if ($i ~ /\]$/) { i++; break } }
          if (match(opts, /signed-by=[^] \t]*/)) signed = substr(opts, RSTART, RLENGTH)
        }
        uri = $i; suite = $(i + 1); comps = ""
        for (j = i + 2; j <= NF; j++) comps = comps " " $j
        consider(types, uri, suite, comps, signed, "")
      }
      END { flush(); if (found == "") exit 1; sub(/\/+$/, "", found); print found }'
}

mirror() {
  if [ -n "${VCAMERA_MIRROR:-}" ]; then
    echo "$VCAMERA_MIRROR"
  elif ! debian_mirror; then
    echo "build-vcamera: no Debian archive entry in the apt sources (set VCAMERA_MIRROR=URI)" >&2
    return 1
  fi
}

if [ "${1:-}" = --mirror ] && [ $# -eq 1 ]; then
  mirror
  exit
fi
if [ $# -ne 1 ]; then
  echo "usage: $0 PREFIX | --mirror" >&2
  exit 2
fi
HERE=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
PREFIX=$(cd "$1" && pwd)
WANTED=${VCAMERA_SOURCE_VERSION:-2.5.31-4}
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

# Builds of the plain and the sanitizer trees may share one prefix.
exec 9>"$PREFIX.lock"
flock 9

# The stamp names the version and the exact patches and build steps (the
# script from this line on: how the mirror is found does not change the build).
SUM=$(sed -n '/^# The stamp names/,$p' "$0" | cat - "$HERE"/tests/ptp/*.patch | sha256sum | cut -c1-16)
STAMP="$PREFIX/.vcamera-stamp"
if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$WANTED $SUM" ]; then
  echo "build-vcamera: $PREFIX is up to date ($WANTED $SUM)"
  exit 0
fi

# Only a prefix this script made (or an empty one) is ever wiped.
if [ ! -f "$STAMP" ] && [ -n "$(ls -A "$PREFIX")" ]; then
  echo "build-vcamera: $PREFIX is not empty and was not made here; refusing to replace it" >&2
  exit 1
fi
MIRROR=$(mirror)
WORK="$PREFIX.work"
rm -rf "$WORK" "$PREFIX"
mkdir -p "$WORK/apt/lists/partial" "$WORK/apt/cache/archives/partial" \
  "$WORK/apt/sources.list.d" "$WORK/apt/preferences.d" "$WORK/src" "$PREFIX"
echo "deb-src [signed-by=$KEYRING] $MIRROR trixie main" > "$WORK/apt/sources.list"
APT="-o Dir::Etc::SourceList=$WORK/apt/sources.list
     -o Dir::Etc::SourceParts=$WORK/apt/sources.list.d
     -o Dir::Etc::Preferences=$WORK/apt/preferences
     -o Dir::Etc::PreferencesParts=$WORK/apt/preferences.d
     -o Dir::State::Lists=$WORK/apt/lists
     -o Dir::Cache=$WORK/apt/cache
     -o APT::Sandbox::User=root"

echo "build-vcamera: fetching the libgphoto2 $WANTED source from $MIRROR"
# shellcheck disable=SC2086
apt-get $APT -q update
# Debian keeps only the current version in a suite: if the wanted one has been
# replaced by an update, take the newest there is.
SOURCE="libgphoto2=$WANTED"
# shellcheck disable=SC2086
if ! apt-cache $APT showsrc libgphoto2 | grep -qx "Version: $WANTED"; then
  SOURCE=libgphoto2
  echo "build-vcamera: $WANTED is no longer in trixie; using the newest source there"
fi
cd "$WORK/src"
# shellcheck disable=SC2086
apt-get $APT -q source "$SOURCE"
cd libgphoto2-*/
for p in "$HERE"/tests/ptp/*.patch; do
  patch -p1 --forward < "$p"
done

echo "build-vcamera: configuring"
./configure -q --prefix="$PREFIX" --disable-static --disable-nls \
  --without-libusb --without-libusb-1.0 --with-camlibs=ptp2 --enable-vusb \
  > "$WORK/configure.log" 2>&1 || {
  tail -40 "$WORK/configure.log" >&2
  exit 1
}
JOBS=$(nproc)
for dir in libgphoto2_port libgphoto2 camlibs; do
  echo "build-vcamera: building $dir"
  make -s -C "$dir" -j "$JOBS" > "$WORK/make-$dir.log" 2>&1 || {
    tail -40 "$WORK/make-$dir.log" >&2
    exit 1
  }
  make -s -C "$dir" install > "$WORK/install-$dir.log" 2>&1
done

echo "$WANTED $SUM" > "$STAMP"
rm -rf "$WORK"
echo "build-vcamera: installed into $PREFIX"
