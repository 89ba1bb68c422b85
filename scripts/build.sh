#!/usr/bin/env bash
# Builds build/windows/morvane-boost.exe (and the Wine test helpers and
# stand-ins) with Debian's mingw-w64, installing what is missing first.
# Arguments are passed to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "$@" >/dev/null
cmake --build build/windows -j "$(nproc)" >/dev/null
