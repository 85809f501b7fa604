#!/usr/bin/env bash
# Creates a throwaway code-signing certificate for the signing tests, made
# afresh on every call: a CA of its own (DIR/ca.pem) and a code-signing
# certificate it issued, with its key and the CA in DIR/signing.p12. The
# PKCS#12 password is taken from SPOOLSYNC_SIGN_PASSWORD, as the build takes
# it. Both certificates are valid for 2 days; the private keys other than the
# one in signing.p12 are deleted.
#
# Usage: SPOOLSYNC_SIGN_PASSWORD=... throwaway-signing-cert.sh DIR
set -euo pipefail

[[ $# -eq 1 ]] || { echo "usage: $0 DIR" >&2; exit 2; }
[[ -n ${SPOOLSYNC_SIGN_PASSWORD:-} ]] || { echo "$0: set SPOOLSYNC_SIGN_PASSWORD" >&2; exit 2; }
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
chmod 700 "$dir"
cd "$dir"

openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 2 -keyout ca.key -out ca.pem \
  -subj "/CN=spoolsync throwaway test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:3072 -nodes -sha256 -keyout signing.key -out signing.csr \
  -subj "/CN=spoolsync throwaway code signing" 2>/dev/null
printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=codeSigning" "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid" >signing.ext
openssl x509 -req -sha256 -days 2 -in signing.csr -CA ca.pem -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" \
  -extfile signing.ext -out signing.pem 2>/dev/null
openssl pkcs12 -export -inkey signing.key -in signing.pem -certfile ca.pem -name "spoolsync throwaway" \
  -out signing.p12 -passout env:SPOOLSYNC_SIGN_PASSWORD
rm -f ca.key signing.key signing.csr signing.ext
echo "throwaway signing certificate: $PWD/signing.p12 (CA $PWD/ca.pem)"
