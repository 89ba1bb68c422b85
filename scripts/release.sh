#!/usr/bin/env bash
# Builds the release archive from the committed tree (uncommitted changes are
# not in it):
#
#   scripts/release.sh [--sign CERT.pfx] [--dist DIR] [--tag vX.Y.Z[-rc.N]]
#                      [--same-as DIR] [--repo OWNER/NAME]
#
# writes DIR/morvane-boost-<version>-windows-x86_64.zip (DIR is dist/ by
# default) holding morvane-boost.exe, morvane-boost-check.exe, README.txt (the
# Windows user's README, docs/README.txt), LICENSE, SHA256SUMS and BUILDINFO,
# and prints the archive's path as its last line. <version> is the
# project's version, followed by the short commit hash unless the commit is
# tagged v<version>. Two runs on one commit give the same bytes.
#
# --tag vX.Y.Z fails unless the project's version is X.Y.Z, and names the
# archive by that version alone; a pre-release tag vX.Y.Z-rc.N (N a number)
# is taken for the same version, and names the archive X.Y.Z-rc.N.
# --same-as DIR fails unless the programs built are byte-identical to DIR's
# morvane-boost.exe and morvane-boost-check.exe (the ones that were tested).
#
# --repo OWNER/NAME (else GITHUB_REPOSITORY) also writes DIR/winget/: the
# three winget manifests (schema 1.12.0) of a machine-wide install of the
# archive from that repository's release download; without either, it writes
# none and says so.
#
# With --sign, the finished archive is signed by scripts/sign.sh (see there:
# the password comes from MORVANE_SIGN_PASSWORD).
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: scripts/release.sh [--sign CERT.pfx] [--dist DIR] [--tag vX.Y.Z[-rc.N]] [--same-as DIR] [--repo OWNER/NAME]"
fail() {
  echo "release.sh: $*" >&2
  exit 1
}

certificate='' dist=dist tag='' tested='' repo=${GITHUB_REPOSITORY:-}
while [ $# -gt 0 ]; do
  case "$1" in
    --sign) [ $# -ge 2 ] || fail "--sign needs a .pfx file"; certificate=$2; shift 2 ;;
    --dist) [ $# -ge 2 ] || fail "--dist needs a directory"; dist=$2; shift 2 ;;
    --tag) [ $# -ge 2 ] || fail "--tag needs a tag"; tag=$2; shift 2 ;;
    --same-as) [ $# -ge 2 ] || fail "--same-as needs a directory"; tested=$2; shift 2 ;;
    --repo) [ $# -ge 2 ] || fail "--repo needs OWNER/NAME"; repo=$2; shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
    *) fail "unknown argument '$1' ($usage)" ;;
  esac
done
if [ -n "$certificate" ]; then
  [ -r "$certificate" ] || fail "cannot read the certificate $certificate"
  [ -n "${MORVANE_SIGN_PASSWORD+set}" ] || fail "--sign needs the certificate's password in MORVANE_SIGN_PASSWORD"
  certificate=$(realpath "$certificate")
fi

scripts/setup.sh --release >&2
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
if [[ -n "$repo" && ! "$repo" =~ ^[A-Za-z0-9_.-]+/[A-Za-z0-9_.-]+$ ]]; then
  fail "--repo takes OWNER/NAME, not '$repo'"
fi
if [ -n "$tag" ]; then
  [[ "$tag" =~ ^v${version//./\\.}(-rc\.[0-9]+)?$ ]] ||
    fail "the tag $tag does not match the project's version $version (CMakeLists.txt); tag v$version (or v$version-rc.N), or change the version"
  version=${tag#v}
elif ! git tag --points-at HEAD | grep -qx "v$version"; then
  version="$version-$(git rev-parse --short HEAD)"
fi
mkdir -p "$dist"
archive="$(realpath "$dist")/morvane-boost-$version-windows-x86_64.zip"
# Whatever this run does not finish, it leaves no archive of an earlier one
# under the name it was asked to write, nor manifests of one.
rm -rf "$archive" "$dist/winget"

# The same commands BUILDINFO gives for rebuilding, in a directory of their
# own (the build does not depend on where it runs).
rebuild=(
  "cmake -S . -B build/release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake"
  "cmake --build build/release --target morvane-boost morvane-boost-check"
)
programs=(morvane-boost morvane-boost-check)
echo "Building the programs from commit ${commit:0:12} (about 10 s)..." >&2
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
if [ -n "$tested" ]; then
  for program in "${programs[@]}"; do
    cmp -s "$files/$program.exe" "$tested/$program.exe" ||
      fail "$program.exe as built here differs from $tested/$program.exe, the one that was tested; no archive written"
  done
fi

packages=$(dpkg-query -W -f='  ${Package} ${Version}\n' g++-mingw-w64-x86-64-win32 \
  gcc-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev cmake)
cat >"$files/BUILDINFO" <<EOT
morvane-boost $version
commit: $commit

Built on Debian $(cat /etc/debian_version 2>/dev/null) with these packages:
$packages

SHA-256 of the unsigned programs:
$unsigned
Signature: none: the programs are the unsigned build

To rebuild it, in a clone of the repository:
  git checkout $commit
  scripts/setup.sh --release
$(printf '  %s\n' "${rebuild[@]}")
  sha256sum build/release/morvane-boost.exe build/release/morvane-boost-check.exe
EOT
names=(morvane-boost.exe morvane-boost-check.exe README.txt LICENSE BUILDINFO)
(cd "$files" && sha256sum "${names[@]}" >SHA256SUMS)

scripts/write-zip.py "$work/archive.zip" "$(git log -1 --format=%ct HEAD)" "$files" \
  "${names[@]:0:4}" SHA256SUMS "${names[@]:4}"
mv "$work/archive.zip" "$archive"
if [ -n "$certificate" ]; then
  scripts/sign.sh "$archive" "$certificate" || { rm -f "$archive"; exit 1; }
fi
if [ -n "$repo" ]; then
  scripts/write-winget.py "$dist/winget" "$archive" "$repo" "v$version" \
    "$(TZ=UTC git log -1 --date=format-local:%Y-%m-%d --format=%cd HEAD)"
else
  echo "release.sh: note: no winget manifests written: give --repo OWNER/NAME, or set GITHUB_REPOSITORY" >&2
fi
echo "$archive"
