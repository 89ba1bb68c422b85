#!/usr/bin/env bash
# Runs every test: the unit tests (host compiler, fake Win32 layer,
# sanitizers), then the checks of the real executable (PE shape, Wine runs,
# reproducible build).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== Unit tests"
cmake -S . -B build/host >/dev/null
cmake --build build/host -j "$(nproc)"
ctest --test-dir build/host --output-on-failure -j "$(nproc)"

echo "== The Windows executable"
# Every test of the executable must be set up; none may be left out quietly.
scripts/build.sh -DMORVANE_REQUIRE_WINE_TESTS=ON
ctest --test-dir build/windows --output-on-failure
