#!/usr/bin/env bash
# Signs one Windows program or installer in place: Authenticode with SHA-256, by osslsigncode, with
# the certificate and key that tools/build-installer.sh was given, in its environment:
#   MELVIX_SIGN_CERT       the certificate, PEM or DER; a PEM file may hold intermediates after it
#   MELVIX_SIGN_KEY        its private key, PEM or DER
#   MELVIX_SIGN_PASS_FILE  a file holding the key's passphrase, when it has one
#   MELVIX_SIGN_TIMESTAMP  an RFC 3161 time-stamp server's URL, when one is named: Windows then
#                          keeps trusting the signature after the certificate has expired
# build-installer.sh runs it for each program, and makensis for the uninstaller (!uninstfinalize)
# and the installer (!finalize).
#
#   bash tools/sign.sh FILE
set -euo pipefail
file="$1"
args=(sign -certs "$MELVIX_SIGN_CERT" -key "$MELVIX_SIGN_KEY" -h sha256 -n "Melvix MIDI host")
[ -z "${MELVIX_SIGN_PASS_FILE:-}" ] || args+=(-readpass "$MELVIX_SIGN_PASS_FILE")
[ -z "${MELVIX_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$MELVIX_SIGN_TIMESTAMP")
rm -f "$file.signed"
if ! osslsigncode "${args[@]}" -in "$file" -out "$file.signed" >/dev/null; then
  rm -f "$file.signed"
  echo "FAILED: osslsigncode could not sign $file" >&2
  exit 1
fi
mv -f "$file.signed" "$file"
