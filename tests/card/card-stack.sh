#!/bin/sh
# A private smart-card stack for the tests: pcscd with vpcd's virtual reader, and the virtual PIV
# card (piv-card.py) plugged into it, touching no system file and no system pcscd.
#
# Usage: card-stack.sh DIR [CARD [CARD] | SIGN.der SIGN.key.pem AUTH.der AUTH.key.pem]
#   CARD is PIN,SIGN.der,SIGN.key.pem,AUTH.der,AUTH.key.pem (a key left empty leaves its slot
#   empty); a second CARD sits in vpcd's second reader. Without cards it makes one of its own, PIN
#   123456, with RSA keys. When OpenSC sees the cards it prints how to reach them and
#   appends "ready" to DIR/status; then it reads commands from stdin, one a line, and appends "ok"
#   (or "fail: WHY") for each:  remove | insert | pull-at INS (the first reader's card goes when a
#   command with that INS byte arrives, unanswered) | tries N... (the PIN tries each card has
#   left, in reader order). It stops everything when stdin ends. Where namespaces are
#   not allowed it appends "skip: WHY" and exits with 77.
#
# pcscd 1.9.9 always serves /run/pcscd/pcscd.comm, whatever PCSCLITE_CSOCK_NAME says, so it runs
# in a mount namespace of its own with DIR/run over /run, and in a network namespace of its own
# because vpcd listens for the card on every interface.
set -u
export PATH="$PATH:/usr/sbin:/sbin"  # pcscd, for a user whose PATH lacks them
dir=$(mkdir -p "${1:?usage: card-stack.sh DIR}" && cd "$1" && pwd) || exit 1
shift
here=$(cd "$(dirname "$0")" && pwd)
opensc=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
vpcd=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
port=35963
export PCSCLITE_CSOCK_NAME="$dir/run/pcscd/pcscd.comm"
say() { echo "$*" >>"$dir/status"; }
: >"$dir/status"

[ "$(id -u)" = 0 ] || userns=1
for need in unshare nsenter ip pcscd pkcs11-tool openssl /usr/bin/python3 $vpcd $opensc; do
  [ -e "$need" ] || command -v "$need" >/dev/null 2>&1 || { say "skip: $need is not installed"; exit 77; }
done
/usr/bin/python3 -c 'import cryptography' 2>/dev/null || { say "skip: python3-cryptography is not installed"; exit 77; }
unshare --mount --net ${userns:+--user --map-root-user} true 2>/dev/null ||
  { say "skip: this machine does not allow mount and network namespaces"; exit 77; }

if [ $# = 0 ]; then
  for key in sign:digitalSignature,nonRepudiation auth:digitalSignature; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=card ${key%%:*}" \
      -addext "keyUsage=critical,${key#*:}" -keyout "$dir/${key%%:*}.key.pem" \
      -outform DER -out "$dir/${key%%:*}.der" 2>/dev/null
  done
  set -- "$dir/sign.der" "$dir/sign.key.pem" "$dir/auth.der" "$dir/auth.key.pem"
fi
# The older form, four files of one card with PIN 123456.
[ $# = 4 ] && [ "${1#*,}" = "$1" ] && set -- "123456,$1,$2,$3,$4"
cards=$#
mkdir -p "$dir/run"
printf 'FRIENDLYNAME "p11bridge virtual reader"\nDEVICENAME /dev/null:%s\nLIBPATH %s\nCHANNELID %s\n' \
  $port $vpcd $port >"$dir/reader.conf"

pcscd=
card=
more=
trap 'kill $card $more $pcscd 2>/dev/null; wait' EXIT
trap 'exit 1' INT TERM HUP
unshare --mount --net --propagation private ${userns:+--user --map-root-user} sh -c \
  'ip link set lo up && mount --bind "$1/run" /run && exec pcscd --foreground -c "$1/reader.conf"' \
  sh "$dir" >"$dir/pcscd.log" 2>&1 &
pcscd=$!
# The socket shows that pcscd runs inside its namespaces, which the card may then join.
until [ -S "$PCSCLITE_CSOCK_NAME" ]; do
  kill -0 $pcscd 2>/dev/null || { say "fail: pcscd ended, see $dir/pcscd.log"; exit 1; }
  sleep 0.1
done
# One card a reader: vpcd's readers listen on port, port+1.
n=0
for layout; do
  nsenter --target $pcscd --net ${userns:+--user --preserve-credentials} \
    /usr/bin/python3 "$here/piv-card.py" $((port + n)) "$dir/control$n" "$layout" >"$dir/card$n.log" 2>&1 &
  [ $n = 0 ] && card=$! || more="$more $!"
  n=$((n + 1))
done

# Waits, generously, until OpenSC lists $1 tokens.
await() {
  for _ in $(seq 600); do
    [ "$(pkcs11-tool --module $opensc -L 2>/dev/null | grep -c 'token label')" = "$1" ] && return 0
    kill -0 $card 2>/dev/null || return 1
    sleep 0.2
  done
  return 1
}
await $cards || { say "fail: OpenSC never saw the cards, see $dir/*.log"; exit 1; }
echo "card ready: PCSCLITE_CSOCK_NAME=$PCSCLITE_CSOCK_NAME (opensc-only.sh for p11-kit's proxy)" >&2
say ready
while read -r command arg; do
  echo "$command ${arg:-}" >"$dir/control0"
  case $command in
    remove) kill -USR1 $card && await $((cards - 1)) ;;
    insert) kill -USR1 $card && await $cards ;;
    pull-at) kill -USR1 $card ;;
    tries) [ "$(cat "$dir"/control*.tries)" = "$(printf '%s\n' $arg)" ] ;;
    *) false ;;
  esac && say ok || say "fail: $command $arg"
done
