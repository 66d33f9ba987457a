#!/bin/sh
# Installs what is needed, then builds and runs every test twice: a plain
# build with warnings as errors, and an AddressSanitizer+UBSan build.
set -e
cd "$(dirname "$0")/.."
# What the run leaves in /, /tmp and /dev/shm is listed at its end, pass or
# fail: a new entry in / fails the run, one in /tmp or /dev/shm is a warning.
./scripts/leftovers.sh snapshot build/leftovers
trap 'rc=$?; ./scripts/leftovers.sh compare build/leftovers || { [ $rc = 0 ] && rc=1; }; exit $rc' EXIT
./scripts/install-deps.sh
# The Node client, and its package (clients/node/gpbridge-VERSION.tgz) for hosts to install.
(cd clients/node && npm ci && npm run build && npm pack --silent)
(cd examples/booth && npm ci --no-audit --no-fund)
JOBS=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGPBRIDGE_WERROR=ON
cmake --build build -j "$JOBS"
# The Python client's wheel, built offline with its own backend: install
# apps from build/dist/gpbridge-*.whl rather than from the clone.
python3 clients/python/build_backend/gpbridge_build.py build/dist
ctest --test-dir build --output-on-failure -j "$JOBS"
./scripts/check-install.sh build
# A full session under valgrind: no leak of ours, no descriptor left open.
python3 tests/valgrind/sesion.py build

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DGPBRIDGE_WERROR=ON -DGPBRIDGE_SANITIZE=ON -DGPBRIDGE_VCAMERA_PREFIX="$PWD/build/vcamera"
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0" \
  ctest --test-dir build-asan --output-on-failure -j "$JOBS"

# Bounded fuzzing of the command reader and the event writer (about a minute).
./scripts/fuzz.sh
