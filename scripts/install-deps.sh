#!/bin/sh
# Installs every Debian package that building, running and testing the bridge needs.
set -e
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q \
  build-essential cmake pkg-config \
  libgphoto2-dev libgphoto2-6 libgphoto2-port12 \
  libgtest-dev googletest \
  clang libclang-rt-14-dev \
  python3 util-linux mount valgrind
# Installing the Python client (clients/python) with pip into the system Python.
$SUDO apt-get install -y -q python3-pip python3-venv python3-setuptools python3-wheel
