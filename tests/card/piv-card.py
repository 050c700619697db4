#!/usr/bin/python3
"""A virtual PIV card (NIST SP 800-73-4) for the tests, plugged into vpcd's reader.

Usage: piv-card.py PORT CONTROL_FILE PIN,SIGN_CERT.der,SIGN_KEY.pem,AUTH_CERT.der,AUTH_KEY.pem

Its signing key (9C) needs the PIN right before every use, as a real card's does: any other
command between VERIFY and the signature cancels it. Its authentication key (9A) needs the PIN
once. A key left empty (,,) leaves its slot empty, as on a badge that only authenticates. Keys are
RSA, or EC on P-256 or P-384. Three PIN tries; CONTROL_FILE.tries always holds how many are left.
SIGUSR1 makes it read CONTROL_FILE: "remove" pulls it out,
"insert" puts it back, "pull-at INS" pulls it out when the next command with that INS arrives.
With PIV_CARD_APDU_LOG set it appends to that file, per command, its header, the answer's length
and the microseconds the card took to answer it.
"""
import os
import signal
import socket
import sys
import time

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, utils

OK, ABSENT, NO_SUCH_REFERENCE = b"\x90\x00", b"\x6a\x82", b"\x6a\x88"
AID = bytes.fromhex("a000000308000010000100")
# A PIVKey's ATR, which OpenSC knows for a card without EC; a card with an EC key shows the ATR of
# a PIV card OpenSC has no quirks on record for.
ATR = bytes.fromhex("3b80800101")
def contactless_atr(history):
    body = bytes([0x80 | len(history), 0x80, 0x01]) + history
    check = 0
    for byte in body:
        check ^= byte
    return b"\x3b" + body + bytes([check])
EC_ATR = contactless_atr(b"p11bridge")
FASCN_9999 = bytes.fromhex("d4e739da739ced39ce739d836858210842108421c84210c3eb")
# PIV algorithm identifiers by key: RSA 2048 (07), EC P-256 (11), EC P-384 (14).
EC_ALGORITHMS = {"secp256r1": 0x11, "secp384r1": 0x14}
CURVE_HASHES = {"secp256r1": hashes.SHA256(), "secp384r1": hashes.SHA384()}


def tlv(tag, value):
    n = len(value)
    length = bytes([n]) if n < 0x80 else bytes([0x81, n]) if n < 0x100 else b"\x82" + n.to_bytes(2, "big")
    return bytes.fromhex(tag) + length + value


def tlv_value(data, tag):
    """The value of the first BER-TLV with the one-byte TAG at the top level of DATA."""
    i = 0
    while i + 1 < len(data):
        t, n, i = data[i], data[i + 1], i + 2
        if n & 0x80:
            n, i = int.from_bytes(data[i : i + (n & 0x7F)], "big"), i + (n & 0x7F)
        if t == tag:
            return data[i : i + n]
        i += n
    return b""


class Card:
    def __init__(self, tries_file, pin, sign_cert, sign_key, auth_cert, auth_key):
        self.keys, self.objects = {}, {}
        self.pin, self.tries_file = pin.encode().ljust(8, b"\xff"), tries_file
        for ref, tag, cert, key in ((0x9C, "5fc10a", sign_cert, sign_key), (0x9A, "5fc105", auth_cert, auth_key)):
            if not cert:
                continue
            self.keys[ref] = serialization.load_pem_private_key(open(key, "rb").read(), None)
            self.objects[tag] = tlv("53", tlv("70", open(cert, "rb").read()) + tlv("71", b"\0") + tlv("fe", b""))
        # A FASC-N of agency 9999 makes OpenSC take the token's serial number from the GUID, fresh
        # at every start: no two cards, and no cache left by an earlier run, look alike.
        chuid = tlv("30", FASCN_9999) + tlv("34", os.urandom(16)) + tlv("35", b"20991231") + tlv("3e", b"") + tlv("fe", b"")
        self.objects["5fc102"] = tlv("53", chuid)
        self.objects["7e"] = tlv("7e", tlv("4f", AID) + tlv("5f2f", b"\x40\x00"))
        self.atr = EC_ATR if any(isinstance(k, ec.EllipticCurvePrivateKey) for k in self.keys.values()) else ATR
        self.set_tries(3)
        self.power()

    def set_tries(self, tries):
        if tries == getattr(self, "tries", None):
            return
        self.tries = tries
        with open(self.tries_file + ".new", "w") as out:
            out.write(f"{tries}\n")
        os.replace(self.tries_file + ".new", self.tries_file)

    def power(self):
        self.verified = self.fresh = False  # the security state does not survive a reset
        self.chain = self.pending = b""

    def apdu(self, apdu):
        cla, ins, p1, p2, body = *apdu[:4], apdu[4:]
        extended = len(body) >= 3 and body[0] == 0
        if extended:
            data = body[3 : 3 + int.from_bytes(body[1:3], "big")]
        else:
            data = body[1 : 1 + body[0]] if len(body) > 1 else b""
        if ins == 0xC0:  # GET RESPONSE: the rest of a long answer
            return self.reply(self.pending, extended)
        fresh, self.fresh = self.fresh, False
        if cla & 0x10:  # command chaining: collect until the last piece
            self.chain, self.fresh = self.chain + data, fresh
            return OK
        data, self.chain = self.chain + data, b""
        if ins == 0xA4:
            return self.reply(tlv("61", tlv("4f", AID[5:])), extended) if len(data) >= 9 and AID.startswith(data) else ABSENT
        if ins == 0xCB:
            tag = tlv_value(data, 0x5C).hex()
            return self.reply(self.objects[tag], extended) if tag in self.objects else ABSENT
        if ins == 0x20:
            return self.verify(p1, data) if p2 == 0x80 else NO_SUCH_REFERENCE
        if ins == 0x87:
            if p2 not in self.keys:
                return NO_SUCH_REFERENCE
            if not (fresh if p2 == 0x9C else self.verified):
                return b"\x69\x82"
            if isinstance(self.keys[p2], ec.EllipticCurvePrivateKey):
                return self.sign_ec(self.keys[p2], p1, data, extended)
            key = self.keys[p2].private_numbers()
            n, size = key.public_numbers.n, self.keys[p2].key_size // 8
            block = tlv_value(tlv_value(data, 0x7C), 0x81)  # OpenSC sends the padded block
            if len(block) != size:
                return b"\x6a\x80"
            # CRT, as cards do it: a third of the time of one power modulo n, and steadier.
            c = int.from_bytes(block, "big")
            m1, m2 = pow(c, key.dmp1, key.p), pow(c, key.dmq1, key.q)
            m = m2 + key.q * (key.iqmp * (m1 - m2) % key.p)
            signature = m.to_bytes(size, "big")
            return self.reply(tlv("7c", tlv("82", signature)), extended)
        return b"\x6d\x00"  # instruction not supported

    def sign_ec(self, key, algorithm, data, extended):
        if algorithm != EC_ALGORITHMS.get(key.curve.name):
            return b"\x6a\x86"
        digest = tlv_value(tlv_value(data, 0x7C), 0x81)
        if not digest:
            return b"\x6a\x80"
        # ECDSA takes the hash's leftmost bits up to the order's size, as a number: cut a longer
        # one, widen a shorter one with zeros, and sign it as the curve's own hash.
        size = key.curve.key_size // 8
        digest = digest[:size].rjust(size, b"\0")
        # A DER ECDSA-Sig-Value, which OpenSC turns into r and s.
        signature = key.sign(digest, ec.ECDSA(utils.Prehashed(CURVE_HASHES[key.curve.name])))
        return self.reply(tlv("7c", tlv("82", signature)), extended)

    def verify(self, p1, pin):
        if p1 == 0xFF:
            self.verified = False
            return OK
        if not self.tries:
            return b"\x69\x83"
        if pin == self.pin:
            self.set_tries(3)
            self.verified = self.fresh = True
        elif pin:  # an empty VERIFY only asks for the state
            self.set_tries(self.tries - 1)
            self.verified = False
        return OK if self.verified else bytes([0x63, 0xC0 | self.tries])

    def reply(self, data, extended):
        """Short commands get at most 256 bytes at a time; 61XX says more waits for GET RESPONSE."""
        cut = len(data) if extended else 256
        self.pending = data[cut:]
        return data[:cut] + (bytes([0x61, min(len(self.pending), 256) & 0xFF]) if self.pending else OK)


def main(port, control, card_files):
    card = Card(control + ".tries", *card_files.split(","))
    state = {"present": True, "pull_at": None, "sock": None}

    def on_control(*_):
        words = open(control).read().split()
        state["present"] = words[0] != "remove"
        state["pull_at"] = int(words[1], 16) if words[0] == "pull-at" else None
        if words[0] == "remove" and state["sock"]:
            state["sock"].shutdown(socket.SHUT_RDWR)

    signal.signal(signal.SIGUSR1, on_control)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    while True:
        if not state["present"]:
            time.sleep(0.05)
            continue
        try:
            state["sock"] = sock = socket.create_connection(("127.0.0.1", port))
        except OSError:
            time.sleep(0.1)  # vpcd not listening yet
            continue
        try:
            serve(sock, card, state)
        except (EOFError, OSError):
            pass
        state["sock"] = None
        sock.close()
        card.power()


def serve(sock, card, state):
    log = os.environ.get("PIV_CARD_APDU_LOG") and open(os.environ["PIV_CARD_APDU_LOG"], "a")
    def read(n):
        data = b""
        while len(data) < n:
            piece = sock.recv(n - len(data))
            if not piece:
                raise EOFError
            data += piece
            # vpcd sends each message in two writes; acknowledge at once, or wait 40 ms per APDU
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        return data

    while state["present"]:
        message = read(int.from_bytes(read(2), "big"))
        if len(message) == 1:
            if message[0] == 4:
                sock.sendall(len(card.atr).to_bytes(2, "big") + card.atr)
            else:
                card.power()
            continue
        if state["pull_at"] == message[1]:
            # Hold the command a moment, so that pcscd's presence check (every 0.4 s) waits on it
            # and finds the card gone, as a real reader's card switch tells at once.
            time.sleep(1.0)
            state["present"] = False
            return
        began = time.monotonic()
        answer = card.apdu(message)
        if log:  # the header only: a VERIFY's body is the PIN
            print(message[:4].hex(), len(answer), round((time.monotonic() - began) * 1e6), file=log, flush=True)
        sock.sendall(len(answer).to_bytes(2, "big") + answer)


if __name__ == "__main__":
    main(int(sys.argv[1]), *sys.argv[2:])
