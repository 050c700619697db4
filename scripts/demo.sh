#!/usr/bin/env bash
# The demo: a real Chromium page that lists the certificate of a software
# token, takes its PIN key by key, signs a text's hash on the token and checks
# the signature. Sets up everything it needs; never touches your own browser
# profile (all state lives in out/demo/).
#
#   scripts/demo.sh            with a display: opens a Chromium window
#                              without one: runs headless, reports, saves out/demo/demo.png
#   P11BRIDGE_DEMO_HEADLESS=1 scripts/demo.sh   headless even with a display
#   P11BRIDGE_DEMO_PORT=8123                    the local port of the demo page
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$root/build/demo
demo=$root/out/demo
profile=$demo/profile
# Run as root, the installer refuses a profile below a folder others can write (a checkout in /tmp,
# say), where another user could swap the host every browser of the profile starts: root's demo
# profile lives in root's own cache instead.
if [ "$(id -u)" = 0 ] && [ -n "$(d=$demo; while [ "$d" != / ]; do
  find "$d" -maxdepth 0 -perm /022 2>/dev/null; d=$(dirname "$d"); done)" ]; then
  profile=${HOME:-/root}/.cache/p11bridge-demo/profile
fi
port=${P11BRIDGE_DEMO_PORT:-8123}
pin=1234
softhsm_module=/usr/lib/softhsm/libsofthsm2.so
domain_key=$root/tests/data/domain-list-key.DEVELOPMENT-ONLY.pem

step() { printf '\n== %s ==\n' "$*"; }

step "Installing what the demo needs (Debian packages, npm packages)"
"$root/scripts/install-deps.sh" demo
(cd tests/e2e && npm ci --no-audit --no-fund --loglevel=error)

step "Building the host, the domain-list signing tool and the doctor"
# The demo signs its domain list with the development key, so the host must be
# built with that key's public half, whatever another build dir was given.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DP11BRIDGE_TESTS=OFF \
  -DP11BRIDGE_DOMAIN_KEY="$root/tests/data/domain-list-key.pub.pem" >/dev/null
cmake --build "$build" -j"$(nproc)" --target p11bridge p11bridge-sign-domains p11bridge-doctor

step "Making a SoftHSM2 demo token with an RSA key and its certificate"
rm -rf "$demo" "$profile"
mkdir -p "$demo"
token_conf=$("$root/scripts/lib/provision-token.sh" "$demo/token" --pin "$pin")
echo "Token: $demo/token (PIN $pin); certificate: $demo/token/cert.pem"

step "Signing the domain list \"localhost\" with the development key"
"$root/scripts/lib/write-demo-config.sh" "$demo/site-config/demo-config.json" localhost "$domain_key" \
  "$build/tools/sign-domains/p11bridge-sign-domains"
cat "$demo/site-config/demo-config.json"

step "Registering the host in a fresh demo Chromium profile"
"$root/browser/p11bridge-install" --profile "$profile" \
  --host "$build/src/host/p11bridge" --module "$softhsm_module"

step "Serving the demo page on http://localhost:$port/"
node "$root/scripts/lib/demo-server.mjs" --root "$root/browser/demo" \
  --config "$demo/site-config/demo-config.json" --port "$port" &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || { echo "The demo server did not start (is port $port taken? set P11BRIDGE_DEMO_PORT)." >&2; exit 1; }
  sleep 0.2
done

url="http://localhost:$port/"
if [ -z "${P11BRIDGE_DEMO_HEADLESS:-}" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  step "Opening Chromium on $url"
  echo "Pick the certificate, type the PIN ($pin) in the PIN field, press Sign."
  echo "Close the Chromium window to end the demo."
  SOFTHSM2_CONF=$token_conf chromium \
    --user-data-dir="$profile" \
    --no-first-run --no-default-browser-check --disable-sync \
    --disable-extensions-except="$root/browser/extension" \
    --load-extension="$root/browser/extension" \
    "$url" || true
else
  step "No display: driving the page in headless Chromium"
  node "$root/scripts/lib/demo-headless.mjs" --url "$url" --profile "$profile" \
    --token-conf "$token_conf" --pin "$pin" --screenshot "$demo/demo.png"
fi

step "Checking the demo setup with p11bridge-doctor"
# The same command finds what is wrong when the demo does not work; it never needs the PIN.
signature=$(sed -n 's/^ *"signature": "\(.*\)",\{0,1\}$/\1/p' "$demo/site-config/demo-config.json")
doctor=("${build#"$root"/}/tools/doctor/p11bridge-doctor" --profile "${profile#"$root"/}"
  --domains localhost --signature "$signature" --origin "$url")
printf '%s ' "SOFTHSM2_CONF=${token_conf#"$root"/}" "${doctor[@]}"
printf '\n\n'
SOFTHSM2_CONF=$token_conf "${doctor[@]}"
