#!/usr/bin/env bash
# Signs the programs in an unsigned archive that scripts/release.sh wrote,
# in place, and proves the signed bytes before it keeps them:
#
#   scripts/sign.sh ARCHIVE --pkcs11 MODULE.so --key PKCS11-URI --cert CERT.pem
#   scripts/sign.sh ARCHIVE CERT.pfx
#
# The first form signs with a key that never leaves its hardware (an HSM, a
# token, or a cloud signing service's PKCS#11 library): MODULE.so is the
# provider's PKCS#11 library, PKCS11-URI names the private key
# ("pkcs11:token=...;object=...;type=private"), CERT.pem is the code-signing
# certificate with its chain, and the PIN comes from MORVANE_SIGN_PIN. This
# is what a publicly trusted certificate needs. The second form signs with a
# .pfx whose password is in MORVANE_SIGN_PASSWORD: only a private certificate
# authority's certificate can still be had that way.
#
# Both programs are signed with osslsigncode (SHA-256, program names
# "morvane-boost" and "morvane-boost-check"), with an RFC 3161 timestamp from
# MORVANE_SIGN_TIMESTAMP_URL when that is set (without one, the signatures die
# with the certificate). Each signed program must then pass
# `osslsigncode verify` (against the CA bundle in MORVANE_SIGN_CA when that is
# set, else the system's roots), and removing its signature must give back the
# unsigned SHA-256 that BUILDINFO records. SHA256SUMS is written anew,
# BUILDINFO says how it was signed, and the winget installer manifest beside
# the archive (DIR/winget, when release.sh wrote one) gets the new archive's
# SHA-256. A signed archive differs from run to run (the signing time); its
# unsigned programs do not. It runs no build and installs nothing, so the
# secrets it is given reach nothing else; they never reach a command line.
# On any failure it says why and leaves the archive as it was.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage="usage: scripts/sign.sh ARCHIVE --pkcs11 MODULE.so --key PKCS11-URI --cert CERT.pem
       scripts/sign.sh ARCHIVE CERT.pfx"
fail() {
  echo "sign.sh: $*" >&2
  exit 1
}
case "${1:-}" in
  "") fail "$usage" ;;
  -h | --help) echo "$usage"; exit 0 ;;
esac
archive=$(realpath "$1")
shift
[ -r "$archive" ] || fail "cannot read the archive $archive"

module='' key='' certificate='' pfx=''
if [ $# -eq 1 ]; then
  pfx=$(realpath "$1")
  [ -r "$pfx" ] || fail "cannot read the certificate $1"
  [ -n "${MORVANE_SIGN_PASSWORD+set}" ] || fail "the certificate's password must be in MORVANE_SIGN_PASSWORD"
else
  while [ $# -gt 0 ]; do
    case "$1" in
      --pkcs11) [ $# -ge 2 ] || fail "--pkcs11 needs the PKCS#11 library"; module=$2; shift 2 ;;
      --key) [ $# -ge 2 ] || fail "--key needs a pkcs11: URI"; key=$2; shift 2 ;;
      --cert) [ $# -ge 2 ] || fail "--cert needs the certificate"; certificate=$2; shift 2 ;;
      *) fail "unknown argument '$1'
$usage" ;;
    esac
  done
  if [ -z "$module" ] || [ -z "$key" ] || [ -z "$certificate" ]; then fail "$usage"; fi
  [ -r "$module" ] || fail "cannot read the PKCS#11 library $module"
  [ -r "$certificate" ] || fail "cannot read the certificate $certificate"
  case "$key" in pkcs11:*) ;; *) fail "--key must be a pkcs11: URI, not '$key'" ;; esac
  [ -n "${MORVANE_SIGN_PIN+set}" ] || fail "the key's PIN must be in MORVANE_SIGN_PIN"
  certificate=$(realpath "$certificate")
fi
verify=()
if [ -n "${MORVANE_SIGN_CA:-}" ]; then
  [ -r "$MORVANE_SIGN_CA" ] || fail "cannot read MORVANE_SIGN_CA, $MORVANE_SIGN_CA"
  verify=(-CAfile "$(realpath "$MORVANE_SIGN_CA")")
fi

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
grep -q '^Signature: none' "$files/BUILDINFO" || fail "$archive is not an unsigned archive of release.sh"

# The PIN or the password goes through a private file, not the command line.
(umask 077 && printf '%s' "${MORVANE_SIGN_PIN:-${MORVANE_SIGN_PASSWORD:-}}" >"$work/secret")
if [ -n "$pfx" ]; then
  signer=(-pkcs12 "$pfx")
  how="a .pfx certificate"
else
  # osslsigncode loads OpenSSL's pkcs11 engine by name; 2.5 refuses a path.
  signer=(-pkcs11module "$module" -certs "$certificate" -key "$key")
  how="a key in hardware, through PKCS#11"
fi
timestamp=()
[ -z "${MORVANE_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$MORVANE_SIGN_TIMESTAMP_URL")
for program in morvane-boost morvane-boost-check; do
  unsigned=$(sed -n "s/^  \([0-9a-f]\{64\}\)  $program\.exe\$/\1/p" "$files/BUILDINFO")
  [ -n "$unsigned" ] || fail "BUILDINFO gives no unsigned SHA-256 for $program.exe"
  osslsigncode sign "${signer[@]}" -readpass "$work/secret" -h sha256 -n "$program" \
    "${timestamp[@]}" -in "$files/$program.exe" -out "$work/signed.exe" >"$work/log" 2>&1 || {
    cat "$work/log" >&2
    fail "signing $program.exe failed (a wrong PIN or password, or a key or certificate that osslsigncode cannot use); the archive is left unsigned"
  }
  osslsigncode verify "${verify[@]}" -in "$work/signed.exe" >"$work/log" 2>&1 || {
    cat "$work/log" >&2
    fail "the signed $program.exe does not verify${MORVANE_SIGN_CA:+ against $MORVANE_SIGN_CA}; the archive is left unsigned"
  }
  rm -f "$work/stripped.exe"
  osslsigncode remove-signature -in "$work/signed.exe" -out "$work/stripped.exe" >"$work/log" 2>&1 || true
  if [ ! -f "$work/stripped.exe" ] || [ "$(sha256sum <"$work/stripped.exe" | cut -d' ' -f1)" != "$unsigned" ]; then
    cat "$work/log" >&2
    fail "removing the signature from $program.exe does not give back BUILDINFO's unsigned SHA-256; the archive is left unsigned"
  fi
  mv "$work/signed.exe" "$files/$program.exe"
done
rm -f "$work/secret"

stamp=${MORVANE_SIGN_TIMESTAMP_URL:+, timestamped by $MORVANE_SIGN_TIMESTAMP_URL}
python3 - "$files/BUILDINFO" "$how$stamp" <<'PY'
import sys
path, how = sys.argv[1], sys.argv[2]
text = open(path).read().replace(
    "Signature: none: the programs are the unsigned build\n",
    f"Signature: Authenticode (osslsigncode, SHA-256, {how}) on both programs;\n"
    "removing it gives back the unsigned bytes, for example:\n"
    "  osslsigncode remove-signature -in morvane-boost.exe -out unsigned.exe\n")
open(path, "w").write(text)
PY
read -r -a members <<<"$names"
sums=()
for name in "${members[@]}"; do [ "$name" = SHA256SUMS ] || sums+=("$name"); done
(cd "$files" && sha256sum "${sums[@]}" >"$work/SHA256SUMS") && mv "$work/SHA256SUMS" "$files/SHA256SUMS"
seconds=$(python3 -c 'import sys, zipfile, calendar; print(calendar.timegm(zipfile.ZipFile(sys.argv[1]).infolist()[0].date_time + (0, 0, 0)))' "$archive")
"$here/write-zip.py" "$work/signed.zip" "$seconds" "$files" "${members[@]}"

mv "$work/signed.zip" "$archive"

# The winget installer manifest names the archive by its hash.
for installer in "$(dirname "$archive")"/winget/*.installer.yaml; do
  [ -f "$installer" ] || continue
  hash=$(sha256sum <"$archive" | cut -d' ' -f1)
  sed "s/^\( *InstallerSha256: \).*/\1${hash^^}/" "$installer" >"$work/installer.yaml"
  mv "$work/installer.yaml" "$installer"
done
