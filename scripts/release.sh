#!/usr/bin/env bash
# Builds the release archive from the committed tree (uncommitted changes are
# not in it):
#
#   scripts/release.sh [--sign CERT.pfx] [--dist DIR]
#
# writes DIR/morvane-boost-<version>-windows-x86_64.zip (DIR is dist/ by
# default) holding morvane-boost.exe, morvane-boost-check.exe, README.txt (the
# Windows user's README, docs/README.txt), LICENSE, SHA256SUMS and BUILDINFO,
# and prints the archive's path as its last line. <version> is the
# project's version, followed by the short commit hash unless the commit is
# tagged v<version>. Two runs on one commit give the same bytes.
#
# With --sign, both programs are signed with osslsigncode (SHA-256, program
# names "morvane-boost" and "morvane-boost-check"): the certificate's password
# comes from MORVANE_SIGN_PASSWORD, and an RFC 3161 timestamp from
# MORVANE_SIGN_TIMESTAMP_URL when that is set. The signatures are the only
# difference: BUILDINFO gives the SHA-256 of the unsigned bytes. A signed
# archive differs from run to run (the signing time), its unsigned programs
# do not.
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: scripts/release.sh [--sign CERT.pfx] [--dist DIR]"
fail() {
  echo "release.sh: $*" >&2
  exit 1
}

certificate= dist=dist
while [ $# -gt 0 ]; do
  case "$1" in
    --sign) [ $# -ge 2 ] || fail "--sign needs a .pfx file"; certificate=$2; shift 2 ;;
    --dist) [ $# -ge 2 ] || fail "--dist needs a directory"; dist=$2; shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
    *) fail "unknown argument '$1' ($usage)" ;;
  esac
done
if [ -n "$certificate" ]; then
  [ -r "$certificate" ] || fail "cannot read the certificate $certificate"
  [ -n "${MORVANE_SIGN_PASSWORD+set}" ] || fail "--sign needs the certificate's password in MORVANE_SIGN_PASSWORD"
  certificate=$(realpath "$certificate")
fi

scripts/setup.sh --no-linter >&2
git diff --quiet HEAD -- 2>/dev/null ||
  echo "release.sh: note: uncommitted changes are not in the release" >&2

work=$(mktemp -d)
# A failed run leaves neither its work nor a dist directory that it made.
made_dist=
[ -d "$dist" ] || made_dist=$dist
cleanup() {
  local status=$?
  rm -rf "$work"
  [ "$status" -eq 0 ] || [ -z "$made_dist" ] || rmdir "$made_dist" 2>/dev/null || true
}
trap cleanup EXIT
commit=$(git rev-parse HEAD)
git archive --format=tar HEAD | (mkdir "$work/source" && tar -x -C "$work/source")
version=$(sed -n 's/^project(morvane-boost VERSION \([0-9][0-9.]*\) .*/\1/p' "$work/source/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
git tag --points-at HEAD | grep -qx "v$version" || version="$version-$(git rev-parse --short HEAD)"
mkdir -p "$dist"
archive="$(realpath "$dist")/morvane-boost-$version-windows-x86_64.zip"
# Whatever this run does not finish, it leaves no archive of an earlier one
# under the name it was asked to write.
rm -f "$archive"

# The same commands BUILDINFO gives for rebuilding, in a directory of their
# own (the build does not depend on where it runs).
rebuild=(
  "cmake -S . -B build/release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake"
  "cmake --build build/release --target morvane-boost morvane-boost-check"
)
programs=(morvane-boost morvane-boost-check)
for command in "${rebuild[@]}"; do
  (cd "$work/source" && $command) >"$work/build.log" 2>&1 || {
    cat "$work/build.log" >&2
    fail "the build failed: $command"
  }
done

files="$work/files"
mkdir "$files"
unsigned=
for program in "${programs[@]}"; do
  cp "$work/source/build/release/$program.exe" "$files/"
  unsigned+="  $(cd "$files" && sha256sum "$program.exe")
"
done
cp "$work/source/docs/README.txt" "$work/source/LICENSE" "$files/"

signature="none: the programs are the unsigned build"
if [ -n "$certificate" ]; then
  # The password goes through a private file, not the command line.
  printf '%s' "$MORVANE_SIGN_PASSWORD" >"$work/password"
  timestamp=()
  [ -z "${MORVANE_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$MORVANE_SIGN_TIMESTAMP_URL")
  for program in "${programs[@]}"; do
    osslsigncode sign -pkcs12 "$certificate" -readpass "$work/password" -h sha256 \
      -n "$program" "${timestamp[@]}" -in "$files/$program.exe" -out "$work/signed.exe" \
      >"$work/sign.log" 2>&1 || {
      cat "$work/sign.log" >&2
      fail "signing failed (a wrong MORVANE_SIGN_PASSWORD, or a certificate osslsigncode cannot use); no archive written"
    }
    mv "$work/signed.exe" "$files/$program.exe"
  done
  signature="Authenticode (osslsigncode, SHA-256) on both programs; removing it gives back
the unsigned bytes, for example:
  osslsigncode remove-signature -in morvane-boost.exe -out unsigned.exe"
fi

packages=$(dpkg-query -W -f='  ${Package} ${Version}\n' g++-mingw-w64-x86-64-win32 \
  gcc-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev cmake)
cat >"$files/BUILDINFO" <<EOT
morvane-boost $version
commit: $commit

Built on Debian with these packages:
$packages

SHA-256 of the unsigned programs:
$unsigned
Signature: $signature

To rebuild it, in a clone of the repository:
  git checkout $commit
  scripts/setup.sh
$(printf '  %s\n' "${rebuild[@]}")
  sha256sum build/release/morvane-boost.exe build/release/morvane-boost-check.exe
EOT
names=(morvane-boost.exe morvane-boost-check.exe README.txt LICENSE BUILDINFO)
(cd "$files" && sha256sum "${names[@]}" >SHA256SUMS)

# Fixed order, the commit's time on every entry, fixed permissions: the same
# commit gives the same bytes.
python3 - "$files" "$work/archive.zip" "$(git log -1 --format=%ct HEAD)" \
  "${names[@]:0:4}" SHA256SUMS "${names[@]:4}" <<'PY'
import os, sys, time, zipfile
files, out, seconds, names = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
stamp = time.gmtime(max(seconds, 315532800))[:6]  # zip dates start in 1980
with zipfile.ZipFile(out, "w") as archive:
    for name in names:
        entry = zipfile.ZipInfo(name, stamp)
        entry.create_system = 3  # Unix, so that the permissions below are read
        entry.external_attr = 0o644 << 16
        with open(os.path.join(files, name), "rb") as file:
            archive.writestr(entry, file.read(), zipfile.ZIP_DEFLATED, 9)
PY
mv "$work/archive.zip" "$archive"
echo "$archive"
