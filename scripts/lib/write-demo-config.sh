#!/usr/bin/env bash
# Signs a domain list and writes it, with its signature, as the demo page's
# demo-config.json. Signing happens at run time so no stored signature can
# drift from the key the host was built with.
#
#   scripts/lib/write-demo-config.sh OUT.json DOMAINS KEY.pem [SIGN_TOOL]
#
# SIGN_TOOL is p11bridge-sign-domains; without it openssl signs the same way
# (RSA PKCS#1 v1.5 with SHA-1 over the exact list text).
set -euo pipefail

[ $# -ge 3 ] || { sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
out=$1 domains=$2 key=$3 tool=${4:-}

# The list goes into JSON unescaped, so it is held to host-name characters.
[[ $domains =~ ^[A-Za-z0-9.:|\ -]+$ ]] || { echo "write-demo-config: unexpected characters in the domain list: $domains" >&2; exit 1; }
[ -r "$key" ] || { echo "write-demo-config: cannot read the key $key" >&2; exit 1; }

if [ -n "$tool" ]; then
  signature=$(printf %s "$domains" | "$tool" --key "$key")
else
  signature=$(printf %s "$domains" | openssl dgst -sha1 -sign "$key" | base64 -w0)
fi
[ -n "$signature" ] || { echo "write-demo-config: signing produced nothing" >&2; exit 1; }

mkdir -p "$(dirname "$out")"
printf '{\n  "domains": "%s",\n  "signature": "%s"\n}\n' "$domains" "$signature" >"$out"
