#!/usr/bin/env python3
"""Floods UDP ports with junk, valid-looking punch datagrams or forged probe datagrams, for a bounded time.

flood.py --bind ADDR --target ADDR --ports P,P,... --seconds S --rate N [--mode junk|punch|mixed|probe]
probe: "KVRA delay 2 1", "KVRA delay 2 2" (a stranger proposing delay 2 as either side) and
"KVRA pong <n> <t>" with n 0..9 and t near what the target's probe clock could read, so that
a target that takes them would get a higher delay or forged round-trip samples.
Prints one summary line (datagrams sent) at the end. Sleeps between batches: no busy loop.
"""
import argparse
import os
import random
import socket
import time

BATCH = 50  # datagrams per wake-up


def punch_like(rng):
    token = "0.%016d" % rng.randrange(10**16)
    kind = rng.randrange(4)
    if kind == 0:
        return ("%s _" % token).encode()
    if kind == 1:
        return ("%s 0.%016d ok" % (token, rng.randrange(10**16))).encode()
    if kind == 2:
        return b"ping"
    return b"PUNCH"


def probe_like(rng, start):
    kind = rng.randrange(4)
    if kind == 0:
        return b"KVRA delay 2 1"
    if kind == 1:
        return b"KVRA delay 2 2"
    # The target's probe clock started near the flood's start (both at the player's launch)
    # or at its probe start: echo a time a few hundred ms behind either, so the forged round
    # trip lands inside the 0..5000 ms a pong is accepted for, and above the delay-1 bound.
    elapsed = int((time.monotonic() - start) * 1000)
    if kind == 2:
        t = max(0, elapsed - rng.randrange(90, 600))
    else:
        t = rng.randrange(0, 1500)
    return b"KVRA pong %d %d" % (rng.randrange(10), t)


def junk(rng):
    size = rng.choice((1, 4, 5, 18, 37, 64, 200, 1400))
    return os.urandom(size)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bind", required=True)
    ap.add_argument("--target", required=True)
    ap.add_argument("--ports", required=True)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--rate", type=int, default=2000)
    ap.add_argument("--mode", default="mixed", choices=("junk", "punch", "mixed", "probe"))
    args = ap.parse_args()
    ports = [int(p) for p in args.ports.split(",")]
    rng = random.Random(1234)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.bind, 0))
    sent = 0
    start = time.monotonic()
    end = start + min(args.seconds, 120.0)
    pause = BATCH / max(1, args.rate)
    while time.monotonic() < end:
        for _ in range(BATCH):
            if args.mode == "probe":
                data = probe_like(rng, start)
            elif args.mode == "junk" or (args.mode == "mixed" and rng.random() < 0.5):
                data = junk(rng)
            else:
                data = punch_like(rng)
            try:
                sock.sendto(data, (args.target, rng.choice(ports)))
                sent += 1
            except OSError:
                pass
        time.sleep(pause)
    print("flood sent=%d" % sent, flush=True)


if __name__ == "__main__":
    main()
