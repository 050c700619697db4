#!/usr/bin/env bash
# Makes a SoftHSM2 token in DIR holding one RSA 2048 signing key and its
# certificate (digitalSignature + nonRepudiation, valid from now for a year),
# both under the same CKA_ID so the host finds the key of a listed certificate.
#
#   scripts/lib/provision-token.sh DIR [--pin PIN] [--so-pin PIN] [--label LABEL] [--cn NAME]
#
# Then point SoftHSM2 at it: SOFTHSM2_CONF=DIR/softhsm2.conf. DIR/cert.pem is
# the certificate; the private key exists only inside the token.
set -euo pipefail

usage() { sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; }
die() { echo "provision-token: $*" >&2; exit 1; }

[ $# -ge 1 ] || { usage >&2; exit 2; }
case $1 in -h | --help) usage; exit 0 ;; esac
dir=$1
shift
pin=1234
so_pin=12345678
label="p11bridge demo"
cn="p11bridge Demo Signer"
while [ $# -gt 0 ]; do
  case $1 in
    --pin) pin=$2; shift ;;
    --so-pin) so_pin=$2; shift ;;
    --label) label=$2; shift ;;
    --cn) cn=$2; shift ;;
    *) die "unknown option: $1" ;;
  esac
  shift
done

module=${SOFTHSM2_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
[ -e "$module" ] || die "SoftHSM2 is not installed ($module missing; apt-get install softhsm2)"
for tool in softhsm2-util pkcs11-tool openssl; do
  command -v "$tool" >/dev/null || die "$tool is missing (apt-get install softhsm2 opensc openssl)"
done

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -rf "$dir/tokens"
mkdir -m 0700 "$dir/tokens"
cat >"$dir/softhsm2.conf" <<CONF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
export SOFTHSM2_CONF=$dir/softhsm2.conf

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Quiet on success, the whole story on failure.
quiet() { "$@" >"$work/out" 2>&1 || { cat "$work/out" >&2; die "failed: $1"; }; }

quiet softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin "$so_pin"

quiet openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 365 \
  -keyout "$work/key.pem" -out "$dir/cert.pem" \
  -subj "/C=ES/O=p11bridge demo/CN=$cn" \
  -addext "keyUsage=critical,digitalSignature,nonRepudiation" \
  -addext "basicConstraints=critical,CA:FALSE"
quiet openssl pkcs8 -topk8 -nocrypt -in "$work/key.pem" -outform DER -out "$work/key.der"
quiet openssl x509 -in "$dir/cert.pem" -outform DER -out "$work/cert.der"
# The SHA-1 of the public key, as many cards name their objects.
id=$(openssl pkey -in "$work/key.pem" -pubout -outform DER | openssl dgst -sha1 -r | cut -c1-40)

p11() { quiet pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" "$@"; }
p11 --write-object "$work/key.der" --type privkey --id "$id" --label "$cn key" --usage-sign
p11 --write-object "$work/cert.der" --type cert --id "$id" --label "$cn"

echo "$dir/softhsm2.conf"
