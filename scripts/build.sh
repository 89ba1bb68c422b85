#!/usr/bin/env bash
# Builds build/windows/morvane-boost.exe and morvane-boost-check.exe (and the
# Wine test helpers and stand-ins) with Debian's mingw-w64, installing what is
# missing first. Arguments are passed to cmake's configure step. Its standard
# output is the executable's path alone; what it is doing goes to standard
# error.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
# The toolchain file counts only when the build directory is first made; cmake
# warns about it on every later configure.
toolchain=()
[ -f build/windows/CMakeCache.txt ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
echo "Building build/windows with mingw-w64 (about 10 s, less when little changed)..." >&2
cmake -S . -B build/windows "${toolchain[@]}" "$@" >/dev/null
cmake --build build/windows -j "$(nproc)" >/dev/null
echo "$PWD/build/windows/morvane-boost.exe"
