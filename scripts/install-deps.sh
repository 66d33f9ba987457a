#!/bin/sh
# Installs every Debian package that building, running and testing the bridge needs.
set -e
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# dpkg-dev and libltdl-dev: building the virtual PTP camera from Debian's
# libgphoto2 source; python3-pip and friends: installing the Python client;
# chromium: the photo booth's browser tests (driven by playwright-core).
$SUDO apt-get install -y -q \
  build-essential cmake pkg-config \
  libgphoto2-dev libgphoto2-6 libgphoto2-port12 \
  libgtest-dev googletest \
  clang libclang-rt-14-dev \
  python3 util-linux mount valgrind \
  dpkg-dev libltdl-dev \
  python3-pip python3-venv python3-setuptools python3-wheel \
  chromium
