#!/usr/bin/env bash
# Builds build/windows/morvane-boost.exe (and the Wine test helpers) with
# Debian's mingw-w64.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build/windows -j "$(nproc)" >/dev/null
