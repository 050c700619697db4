#!/usr/bin/env bash
# Installs the Debian packages a step needs, only when some are missing.
# Usage: scripts/install-deps.sh build|test|demo|bench
set -euo pipefail

build=(cmake g++ make pkg-config libnss3-dev libnspr4-dev libssl-dev openssl libpcsclite-dev)
testing=(clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev valgrind
         softhsm2 opensc p11-kit p11-kit-modules nodejs npm chromium firefox-esr
         dpkg-dev file lintian help2man
         pcscd libpcsclite1 vsmartcard-vpcd opensc-pkcs11 python3 python3-cryptography
         util-linux iproute2 gnutls-bin)
demo=(softhsm2 opensc p11-kit p11-kit-modules nodejs npm chromium)
bench=(libbenchmark-dev softhsm2 opensc p11-kit p11-kit-modules valgrind
       pcscd libpcsclite1 vsmartcard-vpcd opensc-pkcs11 python3 python3-cryptography util-linux iproute2)

case "${1:-test}" in
  build) wanted=("${build[@]}") ;;
  test) wanted=("${build[@]}" "${testing[@]}") ;;
  demo) wanted=("${build[@]}" "${demo[@]}") ;;
  bench) wanted=("${build[@]}" "${bench[@]}") ;;
  *) echo "usage: $0 build|test|demo|bench" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
    missing+=("$package")
done
# Node.js may come from outside Debian (nodesource); a working node and npm are what count.
if command -v node >/dev/null && command -v npm >/dev/null; then
  missing=("${missing[@]/nodejs}"); missing=("${missing[@]/npm}")
fi
read -r -a missing <<<"${missing[*]:-}"
[ "${#missing[@]}" -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
