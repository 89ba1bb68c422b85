#!/usr/bin/env bash
# Signs the programs in an unsigned archive that scripts/release.sh wrote,
# in place:
#
#   scripts/sign.sh ARCHIVE CERT.pfx
#
# Both programs are signed with osslsigncode (SHA-256, program names
# "morvane-boost" and "morvane-boost-check"); the certificate's password
# comes from MORVANE_SIGN_PASSWORD, and an RFC 3161 timestamp from
# MORVANE_SIGN_TIMESTAMP_URL when that is set (without one, the signatures
# die with the certificate). SHA256SUMS is written anew and BUILDINFO says
# how it was signed; BUILDINFO keeps the SHA-256 of the unsigned bytes. A
# signed archive differs from run to run (the signing time); its unsigned
# programs do not. It runs no build and installs nothing, so the secrets it
# is given reach nothing else. On failure the archive is left as it was.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fail() {
  echo "sign.sh: $*" >&2
  exit 1
}
[ $# -eq 2 ] || fail "usage: scripts/sign.sh ARCHIVE CERT.pfx"
archive=$(realpath "$1") certificate=$(realpath "$2")
[ -r "$archive" ] || fail "cannot read the archive $1"
[ -r "$certificate" ] || fail "cannot read the certificate $2"
[ -n "${MORVANE_SIGN_PASSWORD+set}" ] || fail "the certificate's password must be in MORVANE_SIGN_PASSWORD"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files="$work/files"
mkdir "$files"
names=$(python3 - "$archive" "$files" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    archive.extractall(sys.argv[2])
    print(" ".join(archive.namelist()))
PY
)
grep -q '^Signature: none' "$files/BUILDINFO" || fail "$1 is not an unsigned archive of release.sh"

# The password goes through a private file, not the command line.
(umask 077 && printf '%s' "$MORVANE_SIGN_PASSWORD" >"$work/password")
timestamp=()
[ -z "${MORVANE_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$MORVANE_SIGN_TIMESTAMP_URL")
for program in morvane-boost morvane-boost-check; do
  osslsigncode sign -pkcs12 "$certificate" -readpass "$work/password" -h sha256 \
    -n "$program" "${timestamp[@]}" -in "$files/$program.exe" -out "$work/signed.exe" \
    >"$work/sign.log" 2>&1 || {
    cat "$work/sign.log" >&2
    fail "signing failed (a wrong MORVANE_SIGN_PASSWORD, or a certificate osslsigncode cannot use); no archive written"
  }
  mv "$work/signed.exe" "$files/$program.exe"
done

stamp=${MORVANE_SIGN_TIMESTAMP_URL:+, timestamped by $MORVANE_SIGN_TIMESTAMP_URL}
python3 - "$files/BUILDINFO" "$stamp" <<'PY'
import sys
path, stamp = sys.argv[1], sys.argv[2]
text = open(path).read().replace(
    "Signature: none: the programs are the unsigned build\n",
    f"Signature: Authenticode (osslsigncode, SHA-256{stamp}) on both programs;\n"
    "removing it gives back the unsigned bytes, for example:\n"
    "  osslsigncode remove-signature -in morvane-boost.exe -out unsigned.exe\n")
open(path, "w").write(text)
PY
# shellcheck disable=SC2086 # the names hold no blanks
(cd "$files" && sha256sum $(printf '%s\n' $names | grep -vx SHA256SUMS) >SHA256SUMS)
seconds=$(python3 -c 'import sys, zipfile, calendar; print(calendar.timegm(zipfile.ZipFile(sys.argv[1]).infolist()[0].date_time + (0, 0, 0)))' "$archive")
# shellcheck disable=SC2086
"$here/write-zip.py" "$work/signed.zip" "$seconds" "$files" $names
mv "$work/signed.zip" "$archive"
