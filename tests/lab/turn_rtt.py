#!/usr/bin/env python3
"""Round trips to a UDP echo directly and through a TURN relay, for the relay's added latency.

turn_rtt.py --relay ADDR[:PORT] --user U --password P --target ADDR --port P [--count N] [--gap-ms MS]

Allocates on the relay (long-term credentials), asks a permission for the target, then sends
N numbered datagrams to the echo directly and N through the relay (Send indications; the echo's
answers come back as Data indications), one at a time, alternating. Prints one line each:
  direct_rtt_ms p50=.. p99=.. max=.. answered=K/N
  relayed_rtt_ms p50=.. p99=.. max=.. answered=K/N
  added_one_way_ms p50=.. p99=..      (half the difference of the two round trips)
Every wait is bounded (1 s per datagram); the allocation is released at the end.
"""
import argparse
import binascii
import hashlib
import hmac
import os
import select
import socket
import struct
import sys
import time

COOKIE = 0x2112A442
ALLOCATE, REFRESH, SEND_INDICATION, DATA_INDICATION, CREATE_PERMISSION = 0x0003, 0x0004, 0x0016, 0x0017, 0x0008
SUCCESS, ERROR = 0x0100, 0x0110
USERNAME, MESSAGE_INTEGRITY, ERROR_CODE, LIFETIME = 0x0006, 0x0008, 0x0009, 0x000D
XOR_PEER_ADDRESS, DATA, REALM, NONCE, REQUESTED_TRANSPORT = 0x0012, 0x0013, 0x0014, 0x0015, 0x0019
XOR_RELAYED_ADDRESS, FINGERPRINT = 0x0016, 0x8028


def attribute(kind, value):
    return struct.pack("!HH", kind, len(value)) + value + b"\0" * (-len(value) % 4)


def xor_address(address, port):
    packed = socket.inet_aton(address)
    xport = port ^ (COOKIE >> 16)
    xaddr = bytes(a ^ b for a, b in zip(packed, struct.pack("!I", COOKIE)))
    return struct.pack("!BBH", 0, 1, xport) + xaddr


def parse_xor_address(value):
    port = struct.unpack("!H", value[2:4])[0] ^ (COOKIE >> 16)
    addr = bytes(a ^ b for a, b in zip(value[4:8], struct.pack("!I", COOKIE)))
    return socket.inet_ntoa(addr), port


def message(kind, tid, attributes, key=None):
    body = b"".join(attributes)
    if key is not None:
        header = struct.pack("!HHI", kind, len(body) + 24, COOKIE) + tid
        mac = hmac.new(key, header + body, hashlib.sha1).digest()
        body += attribute(MESSAGE_INTEGRITY, mac)
    header = struct.pack("!HHI", kind, len(body) + 8, COOKIE) + tid
    crc = (binascii.crc32(header + body) & 0xFFFFFFFF) ^ 0x5354554E
    return header + body + attribute(FINGERPRINT, struct.pack("!I", crc))


def parse(data):
    if len(data) < 20:
        return None
    kind, length, cookie = struct.unpack("!HHI", data[:8])
    if cookie != COOKIE or length + 20 > len(data):
        return None
    attrs, offset = {}, 20
    while offset + 4 <= 20 + length:
        akind, alen = struct.unpack("!HH", data[offset:offset + 4])
        attrs.setdefault(akind, data[offset + 4:offset + 4 + alen])
        offset += 4 + alen + (-alen % 4)
    return kind, data[8:20], attrs


class Relay:
    def __init__(self, sock, server, user, password):
        self.sock, self.server, self.user, self.password = sock, server, user, password
        self.key = self.realm = self.nonce = None

    def credentials(self):
        return [attribute(USERNAME, self.user), attribute(REALM, self.realm), attribute(NONCE, self.nonce)]

    def request(self, kind, attributes, authenticated=True):
        """One request with its 401 retry; returns the success attributes or raises."""
        for _ in range(3):
            tid = os.urandom(12)
            extra = self.credentials() if authenticated and self.key else []
            self.sock.sendto(message(kind, tid, attributes + extra, self.key if extra else None), self.server)
            deadline = time.monotonic() + 1.0
            while time.monotonic() < deadline:
                readable, _, _ = select.select([self.sock], [], [], max(0.0, deadline - time.monotonic()))
                if not readable:
                    break
                data, sender = self.sock.recvfrom(4096)
                parsed = parse(data)
                if not parsed or parsed[1] != tid:
                    continue
                rkind, _, attrs = parsed
                if rkind == kind | SUCCESS:
                    return attrs
                code = attrs.get(ERROR_CODE, b"\0\0\0\0")
                number = code[2] * 100 + code[3]
                if number in (401, 438) and REALM in attrs and NONCE in attrs:
                    self.realm, self.nonce = attrs[REALM], attrs[NONCE]
                    self.key = hashlib.md5(self.user + b":" + self.realm + b":" + self.password).digest()
                    break
                raise RuntimeError("relay answered %d %s" % (number, code[4:].decode(errors="replace")))
        raise RuntimeError("no answer from the relay")


def percentile(samples, share):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--relay", required=True)
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--target", required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--count", type=int, default=1000)
    ap.add_argument("--gap-ms", type=float, default=5.0)
    args = ap.parse_args()
    host, _, port = args.relay.partition(":")
    server = (host, int(port or 3478))
    count = max(1, min(args.count, 100000))

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("0.0.0.0", 0))
    relay = Relay(sock, server, args.user.encode(), args.password.encode())
    attrs = relay.request(ALLOCATE, [attribute(REQUESTED_TRANSPORT, struct.pack("!I", 17 << 24))])
    relayed = parse_xor_address(attrs[XOR_RELAYED_ADDRESS])
    relay.request(CREATE_PERMISSION, [attribute(XOR_PEER_ADDRESS, xor_address(args.target, 0))])
    print("relayed address %s:%d" % relayed, flush=True)

    target = (args.target, args.port)
    samples = {"direct": [], "relayed": []}
    for n in range(count):
        for way in ("direct", "relayed"):
            tag = b"%s %d" % (way.encode(), n)
            start = time.monotonic()
            if way == "direct":
                sock.sendto(tag, target)
            else:
                sock.sendto(message(SEND_INDICATION, os.urandom(12),
                                    [attribute(XOR_PEER_ADDRESS, xor_address(*target)), attribute(DATA, tag)]),
                            server)
            deadline = start + 1.0
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                readable, _, _ = select.select([sock], [], [], left)
                if not readable:
                    break
                data, sender = sock.recvfrom(4096)
                if way == "direct" and sender == target and data == tag:
                    samples[way].append((time.monotonic() - start) * 1000.0)
                    break
                if way == "relayed" and sender == server:
                    parsed = parse(data)
                    if parsed and parsed[0] == DATA_INDICATION and parsed[2].get(DATA) == tag:
                        samples[way].append((time.monotonic() - start) * 1000.0)
                        break
            time.sleep(args.gap_ms / 1000.0)
    try:
        relay.request(REFRESH, [attribute(LIFETIME, struct.pack("!I", 0))])
    except RuntimeError:
        pass
    for way in ("direct", "relayed"):
        got = samples[way]
        if not got:
            print("%s_rtt_ms answered=0/%d" % (way, count))
            return 1
        print("%s_rtt_ms p50=%.3f p99=%.3f max=%.3f answered=%d/%d"
              % (way, percentile(got, 0.5), percentile(got, 0.99), max(got), len(got), count))
    d, r = samples["direct"], samples["relayed"]
    print("added_one_way_ms p50=%.3f p99=%.3f"
          % ((percentile(r, 0.5) - percentile(d, 0.5)) / 2, (percentile(r, 0.99) - percentile(d, 0.99)) / 2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
