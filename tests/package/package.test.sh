#!/usr/bin/env bash
# Packs this build with cpack, unpacks the .deb into a scratch root and proves it: the layout, the
# dependencies, lintian, and the unpacked host answering framed requests through the unpacked
# module link, which reaches a private SoftHSM2 token through the system's p11-kit proxy.
# Usage: package.test.sh BUILD_DIR HOST_DIR TOOL...   (HOST_DIR and TOOLs relative to /)
set -euo pipefail
build=$1 host_dir=$2
shift 2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in cpack dpkg-deb lintian node softhsm2-util; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is missing (scripts/install-deps.sh test)"; exit 77; }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack -G DEB -B "$scratch/out" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack"; }
deb=$(echo "$scratch"/out/p11bridge_*.deb)
root=$scratch/root
dpkg-deb -x "$deb" "$root"

for path in "$@" "$host_dir/p11bridge"; do [ -f "$root/$path" ] && [ -x "$root/$path" ] || fail "no program $path"; done
manifests=({etc/chromium,etc/opt/chrome,usr/lib/mozilla}/native-messaging-hosts/org.p11bridge.host.json)
for path in "${manifests[@]}" usr/share/p11bridge/extension/{chromium,firefox}/manifest.json \
  usr/share/p11bridge/demo/index.html usr/share/doc/p11bridge/copyright \
  usr/share/p11bridge/client/{p11bridge.js,p11bridge.d.ts,package.json}; do
  [ -f "$root/$path" ] || fail "no file $path"
done
grep -qx 'License: MIT' "$root/usr/share/doc/p11bridge/copyright" || fail "the copyright file names no MIT licence"
# The page library is published under the package's own version (a development-key build adds ~devkey).
library=$(node -p 'const p = require(process.argv[1]); p.private ? "private" : `${p.version} ${p.license}`' \
  "$root/usr/share/p11bridge/client/package.json")
[ "$library" = "$(dpkg-deb -f "$deb" Version | sed 's/~devkey$//') MIT" ] || fail "page library package: $library"
# Everything the installed demo page loads is installed beside it: followed from the page's own
# references (src=, href=, imports, CSS url()), so the check holds whatever files the page uses.
node - "$root" usr/share/p11bridge/demo/index.html <<'EOF' || fail "the demo page is incomplete"
const fs = require('fs'), path = require('path');
const [root, page] = process.argv.slice(2);
const stop = (why) => { console.error(`FAIL: ${why}`); process.exit(1); };
const imports = [/\b(?:import|export)\b[^'"`;]*?\bfrom\s*["']([^"']+)["']/g, /\bimport\s*\(?\s*["']([^"']+)["']/g];
const patterns = { '.html': [/\b(?:src|href)\s*=\s*["']?([^"'\s>]+)/g, ...imports], '.js': imports, '.mjs': imports,
  '.css': [/@import\s+["']([^"']+)["']/g, /\burl\(\s*["']?([^"')]+)/g] };
const seen = new Set([path.join(root, page)]), todo = [...seen];
for (let file; (file = todo.pop());) {
  if (!fs.existsSync(file)) stop(`${path.relative(root, file)}, which the demo page loads, is not in the package`);
  for (const pattern of patterns[path.extname(file)] ?? []) {
    for (const [, ref] of fs.readFileSync(file, 'utf8').matchAll(pattern)) {
      if (/^([a-z][a-z0-9+.-]*:|\/\/|#)/i.test(ref)) continue;  // elsewhere, or this very file
      const target = decodeURIComponent(new URL(ref, `file://${file}`).pathname);
      if (!target.startsWith(root + '/')) stop(`${path.relative(root, file)} loads ${ref}, outside the package`);
      if (!seen.has(target)) seen.add(target), todo.push(target);
    }
  }
}
if (seen.size < 3) stop(`the demo page loads only ${[...seen].join(', ')}`);
EOF
# Every manifest is JSON naming the packaged host.
node -e 'for (const f of process.argv.slice(2)) if (JSON.parse(require("fs").readFileSync(f)).path !== process.argv[1])
  throw new Error(f + " does not name " + process.argv[1])' "/$host_dir/p11bridge" "${manifests[@]/#/$root/}"
# Installed, the module link resolves to p11-kit's proxy, which the package depends on.
proxy=$(dpkg -L p11-kit-modules | grep '/p11-kit-proxy\.so$')
link=$(readlink "$root/$host_dir/p11bridge-pkcs11.so")
[ "$(realpath -ms "/$host_dir/$link")" = "$proxy" ] || fail "module link points at $link"
depends=$(dpkg-deb -f "$deb" Depends)
for package in libnss3 libnspr4 p11-kit-modules; do
  [[ $depends =~ (^|, )$package( |,|$) ]] || fail "Depends lacks $package: $depends"
done
lintian --fail-on error,warning "$deb" || fail "lintian"

# The scratch root stands on the system for what the package depends on.
mkdir -p "$root${proxy%/*}" && ln -s "$proxy" "$root$proxy"
SOFTHSM2_CONF=$("$source_dir/scripts/lib/provision-token.sh" "$scratch/token" --cn "p11bridge package test")
export SOFTHSM2_CONF LC_ALL=C
domains='localhost|example.org'
signature=$(printf %s "$domains" | "$root/usr/bin/p11bridge-sign-domains" \
  --key "$source_dir/tests/data/domain-list-key.DEVELOPMENT-ONLY.pem")
init="{\"command\":0,\"domains\":\"$domains\",\"signature\":\"$signature\",\"currentDomain\":\"https://localhost/\",\"caSubjectNames\":\"\"}"
# The client on the PATH starts the packaged host, not the build tree's (that one has no module);
# --raw hands on the host's bytes, which must be exactly two frames, the listing proving the token.
printf '%s\n' "$init" '{"command":2}' | "$root/usr/bin/p11bridge-client" --raw >"$scratch/replies"
replies=() offset=0 size=$(stat -c %s "$scratch/replies")
while [ "$offset" -lt "$size" ]; do
  n=$(od -An -tu4 -j "$offset" -N4 "$scratch/replies" | tr -d ' ')
  replies+=("$(tail -c +$((offset + 5)) "$scratch/replies" | head -c "$n")")
  offset=$((offset + 4 + n))
done
[ "$offset" -eq "$size" ] && [ "${#replies[@]}" -eq 2 ] || fail "replies not framed: $(cat -v "$scratch/replies")"
[[ ${replies[0]} == *'"InitializeComponent OK"'* ]] || fail "Initialize: ${replies[0]}"
[[ ${replies[1]} == *'CN=p11bridge package test'* ]] || fail "listing: ${replies[1]}"
echo "ok: $(basename "$deb")"
