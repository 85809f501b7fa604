#!/usr/bin/env bash
# Checks the Authenticode signatures of the Windows build's files.
#
# Usage: signature-test.sh signed CAFILE FILE...   every FILE carries a
#            signature that verifies against CAFILE, and a copy changed after
#            signing (one byte of its content) does not verify
#        signature-test.sh unsigned FILE...        no FILE carries a signature
# Exits with 77, which ctest reports as skipped, without osslsigncode.
set -euo pipefail

if ! command -v osslsigncode >/dev/null; then
  echo "SKIPPED: osslsigncode is not installed (Debian: scripts/install-deps.sh windows)"
  exit 77
fi
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
[[ $# -ge 2 ]] || fail "usage: $0 signed CAFILE FILE... | unsigned FILE..."
mode=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Byte offset, in FILE, of the first occurrence of TEXT, plus SKIP.
offset_of() {
  local at
  at=$(grep -obaF -m1 "$2" "$1" | head -n1 | cut -d: -f1)
  [[ -n $at ]] || fail "no \"$2\" in $1 to change"
  echo $((at + $3))
}

# A copy of FILE with one byte of its signed content changed: for a
# package, inside its embedded cabinet (the executable it installs); for an
# executable, inside a text of its read-only data.
tampered_copy() {
  local file=$1 copy=$2 at byte
  cp "$file" "$copy"
  case $file in
    *.msi) at=$(offset_of "$file" MSCF 64) ;;
    *) at=$(offset_of "$file" "GetPrinterHandle" 4) ;;
  esac
  byte=$(od -An -tu1 -j "$at" -N1 "$file" | tr -d ' ')
  printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$copy" bs=1 seek="$at" conv=notrunc status=none
  cmp -s "$file" "$copy" && fail "the copy of $file was not changed"
  return 0
}

case $mode in
  signed)
    cafile=$1
    shift
    [[ -f $cafile ]] || fail "no CA file $cafile"
    for file in "$@"; do
      [[ -f $file ]] || fail "missing $file"
      name=$(basename "$file")
      report=$work/$name.verify
      osslsigncode verify -in "$file" -CAfile "$cafile" >"$report" 2>&1 || {
        cat "$report"
        fail "$name: the signature does not verify"
      }
      grep -q "Signature verification: ok" "$report" || fail "$name: no verified signature in the report"
      grep -q "Message digest algorithm *: SHA256" "$report" || fail "$name: not signed with SHA-256"
      echo "$name: signed, verified against $(basename "$cafile")"

      # Against another CA the same signature must not verify.
      if osslsigncode verify -in "$file" -CAfile /dev/null >/dev/null 2>&1; then
        fail "$name: verifies without its CA"
      fi

      tampered_copy "$file" "$work/$name"
      if osslsigncode verify -in "$work/$name" -CAfile "$cafile" >"$report" 2>&1; then
        cat "$report"
        fail "$name: a copy changed after signing still verifies"
      fi
      # For the right reason: the content no longer has the signed digest.
      grep -q "MISMATCH" "$report" || { cat "$report"; fail "$name: the changed copy fails, but not on its digest"; }
      echo "$name: a copy changed after signing fails: $(grep -m1 MISMATCH "$report" | tr -s ' ')"
    done
    ;;
  unsigned)
    for file in "$@"; do
      [[ -f $file ]] || fail "missing $file"
      if osslsigncode extract-signature -in "$file" -out "$work/signature" >/dev/null 2>&1; then
        fail "$(basename "$file") carries a signature in an unsigned build"
      fi
      echo "$(basename "$file"): unsigned"
    done
    ;;
  *) fail "unknown mode $mode" ;;
esac
echo "signature test passed"
