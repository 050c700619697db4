#!/usr/bin/env bash
# Builds the host in release mode, measures it against its floors and writes docs/performance.md:
# per-message cost, start-up, token operations, listing scale, p11-kit's proxy, memory, a virtual
# smart card, and the in-memory Google Benchmark suites, all from this one run on this machine.
#
#   scripts/bench.sh                  # everything, into docs/performance.md (a few minutes)
#   scripts/bench.sh --only SECTION   # one of messages startup token scale proxy memory card
#                                     # ec skip, to stdout
# P11BRIDGE_BENCH_BUILD names another build folder than build/bench.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${P11BRIDGE_BENCH_BUILD:-$root/build/bench}
only=()
case "${1:-}" in
  "") ;;
  --only) only=(--only "${2:?--only needs a section}") ;;
  *) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac

"$root/scripts/install-deps.sh" bench
log=$(mktemp)
quiet() { "$@" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }; }
quiet cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DP11BRIDGE_TESTS=OFF -DP11BRIDGE_BENCH=ON
quiet cmake --build "$build" -j2 --target p11bridge p11bridge-sign-domains p11bridge_bench_road \
  p11bridge_floor_framing p11bridge_floor_framing_nss p11bridge_floor_token \
  p11bridge_bench_json p11bridge_bench_host

softhsm=/usr/lib/softhsm/libsofthsm2.so
proxy=/usr/lib/$(uname -m)-linux-gnu/p11-kit-proxy.so
opensc=/usr/lib/$(uname -m)-linux-gnu/opensc-pkcs11.so
pin=1234
scratch=$(mktemp -d)
trap 'rm -rf "$scratch" "$log"' EXIT

# Tokens with 1, 10 and 100 signing certificates, each in a folder of its own: the first holds the
# key that signs, the others add certificates (on one key of their own) until they have the count.
echo "provisioning the tokens" >&2
for count in 1 10 100; do
  "$root/scripts/lib/provision-token.sh" "$scratch/token$count" --pin "$pin" >/dev/null
  [ "$count" -gt 1 ] || continue
  openssl genrsa -out "$scratch/extra-key.pem" 2048 2>/dev/null
  for n in $(seq 2 "$count"); do
    openssl req -x509 -key "$scratch/extra-key.pem" -sha256 -days 365 -outform DER \
      -out "$scratch/extra.der" -subj "/C=ES/O=p11bridge bench/CN=Signer $n" \
      -addext "keyUsage=critical,digitalSignature,nonRepudiation" 2>/dev/null
    SOFTHSM2_CONF=$scratch/token$count/softhsm2.conf quiet pkcs11-tool --module "$softhsm" \
      --login --pin "$pin" --write-object "$scratch/extra.der" --type cert \
      --id "$(printf '%040x' "$n")" --label "Signer $n"
  done
done
key_id() { openssl x509 -in "$1" -pubkey -noout | openssl pkey -pubin -outform DER |
  openssl dgst -sha1 -r | cut -c1-40; }
id=$(key_id "$scratch/token1/cert.pem")

# A certificate for signing (or, with a third argument, for authentication alone) on a new key.
certificate() {  # DIR KEY-ALGORITHM [auth]
  local usage=digitalSignature,nonRepudiation
  [ $# -lt 3 ] || usage=digitalSignature
  openssl req -x509 -newkey "$2" -nodes -days 365 -subj "/O=p11bridge bench/CN=$(basename "$1")" \
    -addext "keyUsage=critical,$usage" -keyout "$1/key.pem" -out "$1/cert.pem" 2>/dev/null
  openssl pkcs8 -topk8 -nocrypt -in "$1/key.pem" -out "$1/key8.pem"
  openssl x509 -in "$1/cert.pem" -outform DER -out "$1/cert.der"
}
# A token labelled LABEL added to the store of CONF, holding DIR's certificate, and its key when
# a third argument says so.
add_token() {  # CONF LABEL DIR [key]
  local cert_id
  cert_id=$(key_id "$3/cert.pem")
  SOFTHSM2_CONF=$1 quiet softhsm2-util --init-token --free --label "$2" --pin "$pin" \
    --so-pin 12345678
  [ $# -lt 4 ] || SOFTHSM2_CONF=$1 quiet softhsm2-util --import "$3/key8.pem" --token "$2" \
    --id "$cert_id" --label key --pin "$pin"
  SOFTHSM2_CONF=$1 quiet pkcs11-tool --module "$softhsm" --token-label "$2" --login \
    --pin "$pin" --write-object "$3/cert.der" --type cert --id "$cert_id" --label cert
}
# An empty store in DIR: a copy of token1's configuration pointing at DIR/tokens.
store() {
  mkdir -p "$1/tokens"
  sed "s|$scratch/token1/tokens|$1/tokens|" "$scratch/token1/softhsm2.conf" >"$1/softhsm2.conf"
}

# One EC key and its certificate per token: P-256 and P-384.
for curve in 256 384; do
  mkdir "$scratch/ec$curve-cert"
  openssl ecparam -name "secp${curve}r1" -out "$scratch/ec$curve.param" 2>/dev/null
  certificate "$scratch/ec$curve-cert" "ec:$scratch/ec$curve.param"
  store "$scratch/ec$curve"
  add_token "$scratch/ec$curve/softhsm2.conf" "ec$curve" "$scratch/ec$curve-cert" key
done
# A virtual card with an EC P-256 key in 9C (no key in 9A).
mkdir "$scratch/card-ec"
certificate "$scratch/card-ec" "ec:$scratch/ec256.param"

# Two stores of the same two tokens, a badge holding an authentication certificate alone and
# the signing token, in both orders. SoftHSM2 orders its tokens by the serial number each gets
# when initialised, so a store is made again until its tokens fall in the order wanted.
mkdir "$scratch/signer" "$scratch/badge"
certificate "$scratch/signer" rsa:2048
certificate "$scratch/badge" rsa:2048 auth
for order in behind:badge first:signer; do
  conf=$scratch/skip-${order%%:*}/softhsm2.conf
  for _ in $(seq 30); do
    rm -rf "$scratch/skip-${order%%:*}"
    store "$scratch/skip-${order%%:*}"
    add_token "$conf" signer "$scratch/signer" key
    add_token "$conf" badge "$scratch/badge"
    [ "$(SOFTHSM2_CONF=$conf pkcs11-tool --module "$softhsm" -L 2>/dev/null |
      sed -n 's/^ *token label *: *//p' | head -1)" != "${order#*:}" ] || continue 2
  done
  echo "SoftHSM2 put the same token first 30 times" >&2
  exit 1
done

# The host finds its module as p11bridge-pkcs11.so beside itself, so each module gets a folder
# with a copy of the host, as the installer lays it out.
for kind in direct proxy opensc; do
  mkdir "$scratch/$kind"
  cp "$build/src/host/p11bridge" "$scratch/$kind/"
done
ln -s "$softhsm" "$scratch/direct/p11bridge-pkcs11.so"
ln -s "$proxy" "$scratch/proxy/p11bridge-pkcs11.so"
ln -s "$opensc" "$scratch/opensc/p11bridge-pkcs11.so"

domains=localhost
signature=$(printf %s "$domains" | "$build/tools/sign-domains/p11bridge-sign-domains" \
  --key "$root/tests/data/domain-list-key.DEVELOPMENT-ONLY.pem")

road() {
  "$build/bench/p11bridge_bench_road" --host "$scratch/direct/p11bridge" \
    --proxy-host "$scratch/proxy/p11bridge" --module "$softhsm" --proxy-module "$proxy" \
    --framing-floor "$build/bench/p11bridge_floor_framing" \
    --framing-floor-nss "$build/bench/p11bridge_floor_framing_nss" \
    --token-floor "$build/bench/p11bridge_floor_token" \
    --token "$scratch/token1/softhsm2.conf" --token10 "$scratch/token10/softhsm2.conf" \
    --token100 "$scratch/token100/softhsm2.conf" \
    --id "$id" --pin "$pin" --domains "$domains" --signature "$signature" --scratch "$scratch" \
    --card-stack "$root/tests/card/card-stack.sh" --card-wrapper "$root/tests/card/opensc-only.sh" \
    --card-host "$scratch/opensc/p11bridge" --card-module "$opensc" --card-id 02 --card-pin 123456 \
    --ec256 "$scratch/ec256/softhsm2.conf" --ec256-id "$(key_id "$scratch/ec256-cert/cert.pem")" \
    --ec384 "$scratch/ec384/softhsm2.conf" --ec384-id "$(key_id "$scratch/ec384-cert/cert.pem")" \
    --card-ec "123456,$scratch/card-ec/cert.der,$scratch/card-ec/key.pem,," \
    --skip-behind "$scratch/skip-behind/softhsm2.conf" --skip-first "$scratch/skip-first/softhsm2.conf" \
    --skip-id "$(key_id "$scratch/signer/cert.pem")" "$@"
}
if [ ${#only[@]} -gt 0 ]; then
  road "${only[@]}"
  exit
fi
road >"$scratch/road.md"
echo "measuring: Google Benchmark suites" >&2
for suite in json host; do
  "$build/bench/p11bridge_bench_$suite" --benchmark_color=false 2>/dev/null >"$scratch/gb-$suite.txt"
done

commit=$(git -C "$root" rev-parse --short HEAD)
git -C "$root" diff --quiet HEAD -- src || commit="$commit, with uncommitted changes in src/"
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
package() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo "?"; }
{
  cat <<HEAD
# Performance

Written by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') at commit $commit. Run it
again to measure your own machine; \`scripts/bench.sh --only token\` prints one section (messages,
startup, token, scale, proxy, memory, card, ec, skip) to stdout.
The build is \`build/bench\` (Release). Every figure stands beside a floor measured in the same
run: the least any program must spend on the same work. The floors are \`bench/floors/\`; the
driver that starts, feeds and times them and the host is \`bench/RoadBench.cpp\`. Host and floor
runs alternate, and every figure is a median, because the machine is shared.

## The machine

| | |
|---|---|
| CPU | $(lscpu | sed -n 's/^Model name: *//p') |
| cores | $(nproc) |
| kernel | $(uname -sr) |
| compiler | $("$compiler" --version | head -1) |
| SoftHSM2 | $(package softhsm2) |
| p11-kit | $(package p11-kit) |
| OpenSC | $(package opensc-pkcs11) |
| pcscd | $(package pcscd) |
| load when the run began | $(cut -d' ' -f1-3 /proc/loadavg) |

HEAD
  cat "$scratch/road.md"
  printf '\n## 10. In memory (Google Benchmark)\n\n'
  printf 'The host'\''s own work without pipes or token: `bench/JSONBench.cpp` (parse a request,\n'
  printf 'write a response) and `bench/HostBench.cpp` (whole PIN conversations through the loop).\n'
  for suite in json host; do
    printf '\n`build/bench/bench/p11bridge_bench_%s`:\n\n```\n' "$suite"
    cat "$scratch/gb-$suite.txt"
    printf '```\n'
  done
  printf '\n'
  cat "$root/bench/profiles.md"
} >"$root/docs/performance.md"
echo "wrote docs/performance.md" >&2
