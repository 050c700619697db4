#!/bin/sh
# Runs a command where p11-kit's proxy loads OpenSC's module and no other but those already in
# SCRATCH_DIR (*.module files, as in p11-kit's folders): in a mount namespace of
# its own, over the folders of registered modules. As root, p11-kit reads no user configuration,
# so only those folders can say it.
# Usage: opensc-only.sh SCRATCH_DIR COMMAND [ARG...]
mkdir -p "$1" && echo "module: /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so" >"$1/opensc.module" || exit 1
[ "$(id -u)" = 0 ] || userns=1
exec unshare --mount --propagation private ${userns:+--user --map-root-user} sh -c '
  for d in /usr/share/p11-kit/modules /etc/pkcs11; do [ ! -d $d ] || mount --bind "$0" $d || exit 1; done
  exec "$@"' "$@"
