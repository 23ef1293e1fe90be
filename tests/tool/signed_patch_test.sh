#!/usr/bin/env bash
# A patch signed after its payload was appended still verifies and installs:
# the certificate table goes behind the payload, and update.exe reads only
# from 0x70000 forward with the sizes of its entry table.
# Usage: signed_patch_test.sh krnpatch.exe update.exe uidriver.exe wine-run.sh prefix
set -euo pipefail
krnpatch=$1 stub=$2 driver=$3 wine_run=$4 prefix=$5

scratch=$(mktemp -d /tmp/krn-signed.XXXXXX)
cleanup() {
  "$wine_run" "$prefix" "$driver" clear-folder >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
win() { echo "Z:${1//\//\\}"; } # a Unix path as the Windows programs see it
run() { "$wine_run" "$prefix" "$@" 2>/dev/null | tr -d '\r'; }

# A throwaway signer: a self-signed certificate that lives only for this test.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway patch signer" \
  -keyout "$scratch/k.pem" -out "$scratch/c.pem" >/dev/null 2>&1

mkdir -p "$scratch/files/Archive" "$scratch/install/Archive"
head -c 70000 /dev/urandom >"$scratch/files/system.arc"
head -c 3000 /dev/urandom >"$scratch/files/Archive/data01000.arc"
echo old >"$scratch/install/system.arc"
echo old >"$scratch/install/Archive/data01000.arc"
printf 'system.arc\r\nArchive\\data01000.arc\r\n' >"$scratch/install/uninst.lst"
python3 - "$scratch/install/KRN.hvl" <<'PY'
import struct, sys
records = [b"system.arc", b"Archive\\data01000.arc"]
with open(sys.argv[1], "wb") as f:
    f.write(b"BHV_V2__" + struct.pack("<II", 0, len(records)))
    for path in records:
        f.write(path.ljust(248, b"\0") + bytes(8))
PY

out=$(run "$krnpatch" build --allow-test-twin --stub "$(win "$stub")" --title "署名テスト" \
        --from "$(win "$scratch/files")" --out "$(win "$scratch/patch.exe")") || fail "build: $out"
echo "$out"
osslsigncode sign -certs "$scratch/c.pem" -key "$scratch/k.pem" -n "Quillmere patch" \
  -in "$scratch/patch.exe" -out "$scratch/signed.exe" >/dev/null || fail "osslsigncode sign"
osslsigncode verify -CAfile "$scratch/c.pem" -in "$scratch/signed.exe" >/dev/null 2>&1 ||
  fail "the signature does not verify"

# A signed stub is refused: its certificate table would end up inside the patch.
osslsigncode sign -certs "$scratch/c.pem" -key "$scratch/k.pem" -in "$stub" \
  -out "$scratch/signed-stub.exe" >/dev/null || fail "osslsigncode sign (stub)"
if out=$(run "$krnpatch" build --allow-test-twin --stub "$(win "$scratch/signed-stub.exe")" --title x \
           --from "$(win "$scratch/files")" --out "$(win "$scratch/bad.exe")" 2>&1); then
  fail "a signed stub was accepted"
fi
[ ! -e "$scratch/bad.exe" ] || fail "a refused build left a file"

# Signing appended the certificate table and left the payload as it was.
size=$(stat -c %s "$scratch/patch.exe")
[ "$(stat -c %s "$scratch/signed.exe")" -gt "$size" ] || fail "nothing was appended"
cmp -s <(tail -c +458753 "$scratch/patch.exe") <(tail -c +458753 "$scratch/signed.exe" | head -c $((size - 458752))) ||
  fail "signing changed bytes of the payload"
listing=$(run "$krnpatch" list --allow-test-twin "$(win "$scratch/signed.exe")") || fail "verify refused the signed patch: $listing"
echo "$listing" | grep -q "^signature: certificate table" || fail "list shows no signature: $listing"
echo "$listing" | grep -q "^OK:" || fail "list: $listing"

# verify checks the signature's image digest against the file: one byte
# changed at a time, the CheckSum (which the digest leaves out) passing.
flip() { # flip <out> <what>: a copy of signed.exe with one byte changed
  python3 - "$scratch/signed.exe" "$1" "$2" <<'PY'
import struct, sys
b = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", b, 0x3C)[0]
directories = 112 if struct.unpack_from("<H", b, pe + 24)[0] == 0x20B else 96
cert = struct.unpack_from("<I", b, pe + 24 + directories + 32)[0]
at = {"payload": 0x70400 + 100, "checksum": pe + 24 + 64, "pkcs7": cert + 8}[sys.argv[3]]
b[at] ^= 0x20
open(sys.argv[2], "wb").write(b)
PY
}
while read -r what status expected; do
  flip "$scratch/$what.exe" "$what"
  out=$(run "$krnpatch" verify --allow-test-twin "$(win "$scratch/$what.exe")") && got=0 || got=$?
  [ "$got" = "$status" ] && echo "$out" | grep -q "$expected" ||
    fail "verify with the $what byte changed: status $got: $out"
done <<'CASES'
payload 1 changed after it was signed
checksum 0 image digest matches; the file is byte for byte
pkcs7 1 PKCS#7 data is damaged
CASES
out=$(run "$krnpatch" verify --allow-test-twin "$(win "$scratch/signed.exe")") ||
  fail "verify refused the signed patch: $out"
echo "$out" | grep "^signature:" || fail "verify does not say what its OK covers: $out"

run "$driver" set-folder "$(win "$scratch/install")" >/dev/null || fail "set-folder"
result=$(run "$driver" run "$(win "$scratch/signed.exe")" --answer yes --timeout-ms 60000)
echo "$result"
echo "$result" | grep -q "^exit=0x00000000$" || fail "the signed patch did not install"
cmp -s "$scratch/files/system.arc" "$scratch/install/system.arc" || fail "system.arc not replaced"
cmp -s "$scratch/files/Archive/data01000.arc" "$scratch/install/Archive/data01000.arc" ||
  fail "Archive/data01000.arc not replaced"
[ -z "$(find "$scratch/install" -name '*.tmp')" ] || fail "temporary files left"
shown=$(run "$krnpatch" show-list "$(win "$scratch/install/KRN.hvl")")
echo "$shown"
digest=$(echo "$listing" | awk '$NF == "system.arc" && $4 == "match" {print $3}')
[ -n "$digest" ] && echo "$shown" | grep -q "$digest  system.arc" || fail "KRN.hvl lacks the new digest"
echo "signed patch verified and installed"
