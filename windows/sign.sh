#!/usr/bin/env bash
# Signs a Windows file (PE executable or .msi) with Authenticode, in place, and
# verifies the signature. Run by the build when SPOOLSYNC_SIGN_PKCS12 is set
# (windows/signing.cmake).
#
# Usage: sign.sh FILE PKCS12 DESCRIPTION [--timestamp URL] [--cafile CAFILE]
# The PKCS#12 file's password comes from the environment variable
# SPOOLSYNC_SIGN_PASSWORD, never from the command line (where every user of
# the machine could read it) or a file. URL is an RFC 3161 time-stamp server.
# CAFILE is what the signature is verified against afterwards; without it,
# osslsigncode's default, the system's bundle.
set -euo pipefail

usage() { echo "usage: $0 FILE PKCS12 DESCRIPTION [--timestamp URL] [--cafile CAFILE]" >&2; exit 2; }
[[ $# -ge 3 ]] || usage
file=$1 pkcs12=$2 description=$3 timestamp= cafile=
shift 3
while [[ $# -gt 0 ]]; do
  case $1 in
    --timestamp) [[ $# -ge 2 ]] || usage; timestamp=$2; shift 2 ;;
    --cafile) [[ $# -ge 2 ]] || usage; cafile=$2; shift 2 ;;
    *) usage ;;
  esac
done

if [[ -z ${SPOOLSYNC_SIGN_PASSWORD+set} ]]; then
  echo "sign.sh: SPOOLSYNC_SIGN_PASSWORD is not set: it must hold the password of $pkcs12" >&2
  exit 1
fi
[[ -f $pkcs12 ]] || { echo "sign.sh: no PKCS#12 file $pkcs12" >&2; exit 1; }

# The file is linked or packaged afresh before each signing; the signed copy
# replaces it only once it has been signed and verified, so a failure leaves
# no half-signed file behind.
signed="$file.signing"
rm -f "$signed"
trap 'rm -f "$signed"' EXIT
args=(sign -pkcs12 "$pkcs12" -readpass - -h sha256 -n "$description" -in "$file" -out "$signed")
[[ -n $timestamp ]] && args+=(-ts "$timestamp")
printf '%s' "$SPOOLSYNC_SIGN_PASSWORD" | osslsigncode "${args[@]}" >/dev/null

verify=(verify -in "$signed")
[[ -n $cafile ]] && verify+=(-CAfile "$cafile")
if ! report=$(osslsigncode "${verify[@]}" 2>&1); then
  echo "$report" >&2
  echo "sign.sh: the signature of $file does not verify" >&2
  exit 1
fi
mv -f "$signed" "$file"
echo "signed and verified: $file"
