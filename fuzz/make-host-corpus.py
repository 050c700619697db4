#!/usr/bin/env python3
"""Writes the host fuzzer's seed conversations to fuzz/corpus/host/.

Each seed is the host's whole standard input: framed requests (a 4-byte little-endian length and
the JSON text), as a browser sends them. The Initialize seeds carry a domain list signed with the
committed development key, so they stay valid for as long as that key is the one compiled in.

usage: fuzz/make-host-corpus.py SIGN_TOOL   (SIGN_TOOL: the built p11bridge-sign-domains)
"""
import base64
import hashlib
import os
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEY = os.path.join(ROOT, "tests", "data", "domain-list-key.DEVELOPMENT-ONLY.pem")
OUT = os.path.join(ROOT, "fuzz", "corpus", "host")

# Must match host_fuzz.cpp's scenario.
PIN = "p!n~8352"
CERT_ID = base64.b64encode(bytes([1, 2, 3, 4])).decode()


def frame(text):
    data = text.encode("latin-1") if isinstance(text, str) else text
    return struct.pack("<I", len(data)) + data


def conversation(*requests):
    return b"".join(r if isinstance(r, bytes) else frame(r) for r in requests)


def sign(tool, domains):
    result = subprocess.run([tool, "--key", KEY, "-"], input=domains.encode(),
                            stdout=subprocess.PIPE, check=True)
    return result.stdout.decode().strip()


def initialize(signature, domains, current):
    return ('{"command":0,"signature":"%s","domains":"%s","currentDomain":"%s",'
            '"caSubjectNames":""}' % (signature, domains, current))


def digest(algorithm):
    return base64.b64encode(hashlib.new(algorithm, b"p11bridge").digest()).decode()


def sign_request(d, cert_id=CERT_ID):
    return '{"command":5,"certId":"%s","digest":"%s"}' % (cert_id, d)


def seeds(tool):
    init = initialize(sign(tool, "localhost"), "localhost", "http://localhost")
    list_certs = '{"command":2}'
    fetch = '{"command":4,"certId":"%s"}' % CERT_ID
    set_pin = '{"command":3,"pin":"%s"}' % PIN
    quit_host = '{"command":1}'
    sha256 = digest("sha256")
    typed = ['{"command":6,"pinChar":"%s"}' % c for c in PIN]
    backspace = '{"command":7}'

    yield "list", conversation(init, list_certs, quit_host)
    yield "fetch", conversation(init, list_certs, fetch, quit_host)
    yield "sign_before_and_after_pin", conversation(
        init, sign_request(sha256), set_pin, sign_request(sha256), sign_request(sha256))
    # The host hands a PIN to the token only once a reply has named the PIN it lacks, so every
    # seed that logs in signs once without the PIN first.
    yield "sign_every_hash_length", conversation(
        init, sign_request(sha256), set_pin, sign_request(digest("sha256")), sign_request(digest("sha1")),
        sign_request(digest("md5")), sign_request(base64.b64encode(b"short").decode()))
    yield "pin_typed_with_backspaces", conversation(
        init, list_certs, sign_request(sha256), typed[0], typed[1], "{\"command\":6,\"pinChar\":\"x\"}", backspace,
        *typed[2:], backspace, backspace, typed[-2], typed[-1], sign_request(sha256))
    yield "wrong_pin_then_right", conversation(
        init, sign_request(sha256), '{"command":3,"pin":"0000"}', sign_request(sha256), set_pin,
        sign_request(sha256), list_certs)
    yield "unknown_certificate", conversation(
        init, sign_request(sha256), set_pin, '{"command":4,"certId":"/w=="}', sign_request(sha256, "/w=="),
        '{"command":4,"certId":"not base64!"}', sign_request("@@", CERT_ID))
    yield "domain_not_listed", conversation(
        initialize(sign(tool, "example.com;*.test.org"), "example.com;*.test.org",
                   "https://evil.example.net/page"), list_certs, sign_request(sha256))
    yield "bad_signature", conversation(
        initialize("c2ln", "localhost", "http://localhost"), list_certs, fetch)
    yield "reinitialize", conversation(
        init, sign_request(sha256), set_pin, list_certs, init, sign_request(sha256))
    yield "not_initialized", conversation(list_certs, fetch, sign_request(sha256), set_pin)
    yield "missing_members", conversation(
        '{"command":0,"signature":"","domains":"localhost"}', '{"command":3}',
        '{"command":6}', init, '{"command":4}', '{"command":5,"certId":"%s"}' % CERT_ID)
    yield "refused_prefixes", conversation(
        struct.pack("<I", 1000) + b"{" * 1000, struct.pack("<I", 0x80000001) + b"abc",
        backspace)
    yield "refused_prefix_then_requests", conversation(
        struct.pack("<I", 4096) + b" " * 4096, init, list_certs)
    yield "cut_in_body", conversation(init, frame(set_pin)[:-3])
    yield "cut_in_prefix", conversation(typed[0], frame(typed[1])[:2])
    yield "zero_prefix_ends", conversation(typed[0], struct.pack("<I", 0), list_certs)
    yield "nul_inside_body", conversation(
        '{"command":6,"pinChar":"1"\0}', '{"command":6,"pinChar":"1"}')
    yield "dropped_requests", conversation(
        "not json", '{"command":8}', '{"x":{"command":2}}', "[2]", '{"Command":6}',
        '{"a":1} // trailing', '{"command":"6","pinChar":"a"}', '{"command":6.9,"pinChar":"b"}',
        '{"command":7,"command":6}', '{"command":true}')
    yield "hostile_values", conversation(
        '{"command":6,"pinChar":"\\u00e9\\x41\\101\\"\x01"}',
        '{"command":3,"pin":"\xff\xfe\x80"}',
        '{"command":1e999,"pin":"1"}', '{"command":-0x7fffffff}', '{"command":[6],"pinChar":"1"}',
        '/* c */{"command":6,"pinChar":"#"}', '{"command":6,"pinChar":"unterminated}',
        '{"command":3,"pin":"a" /* open comment',
        "{" + "[" * 400 + "]" * 400 + ',"command":7}')


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    os.makedirs(OUT, exist_ok=True)
    for name, data in seeds(sys.argv[1]):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
