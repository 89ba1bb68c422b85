#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# this machine lacks, and any further packages named as arguments. Needs
# root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  cmake g++ make                                   # host build and unit tests
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64-win32 gcc-mingw-w64-x86-64-win32
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev   # the Windows executable
  wine wine64                                      # end-to-end runs
  python3 python3-pefile                           # PE checks and Wine test driver
  git osslsigncode openssl                         # release archive and its signature
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# env after sudo: sudo drops variables set before it.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
