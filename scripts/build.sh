#!/usr/bin/env bash
# Builds build/windows/morvane-boost.exe and morvane-boost-check.exe (and the
# Wine test helpers and stand-ins) with Debian's mingw-w64, installing what is
# missing first. Arguments are passed to cmake's configure step. Its last line
# of output is the executable's path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The toolchain file counts only when the build directory is first made; cmake
# warns about it on every later configure.
toolchain=()
[ -f build/windows/CMakeCache.txt ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
cmake -S . -B build/windows "${toolchain[@]}" "$@" >/dev/null
cmake --build build/windows -j "$(nproc)" >/dev/null
echo "$PWD/build/windows/morvane-boost.exe"
