#!/bin/sh
# Builds libgphoto2's virtual PTP camera (an emulated Nikon D750 behind the
# 'vusb' virtual USB port driver) together with the real 'ptp2' camera driver,
# into a private prefix the ptp.* tests load instead of the system library:
#
#   scripts/build-vcamera.sh PREFIX
#
# Debian's binary packages leave the virtual camera out, so the source package
# is fetched with apt-get source from Debian's trixie suite through an apt
# configuration of our own (the system's apt sources are not touched), patched
# with tests/ptp/*.patch and built without the libusb port driver (which would
# claim the usb: ports before the virtual one). Nothing is installed outside
# PREFIX. A stamp file makes a second run with the same version and patches
# do nothing.
set -eu

if [ $# -ne 1 ]; then
  echo "usage: $0 PREFIX" >&2
  exit 2
fi
HERE=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
PREFIX=$(cd "$1" && pwd)
WANTED=${VCAMERA_SOURCE_VERSION:-2.5.31-4}
MIRROR=http://deb.debian.org/debian
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

# Builds of the plain and the sanitizer trees may share one prefix.
exec 9>"$PREFIX.lock"
flock 9

# The stamp names the version and the exact patches and build steps.
SUM=$(cat "$0" "$HERE"/tests/ptp/*.patch | sha256sum | cut -c1-16)
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

echo "build-vcamera: fetching the libgphoto2 $WANTED source"
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
