#!/usr/bin/env python3
"""A ping over UDP, for checking the lab's added delay (the delay queue holds only UDP).

udp_rtt.py echo --bind ADDR --port P [--seconds S]    answers every datagram to its sender
udp_rtt.py probe --target ADDR --port P [--count N]   prints "udp_rtt_ms min=.. median=.. max=.. answered=K/N"
Both end by themselves (echo after S seconds, probe after N probes of at most 1 s each).
"""
import argparse
import select
import socket
import sys
import time


def echo(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.bind, args.port))
    print("ready", flush=True)
    end = time.monotonic() + min(args.seconds, 600.0)
    while True:
        left = end - time.monotonic()
        if left <= 0:
            return 0
        readable, _, _ = select.select([sock], [], [], left)
        if readable:
            data, sender = sock.recvfrom(2048)
            sock.sendto(data, sender)


def probe(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.connect((args.target, args.port))
    samples = []
    for n in range(args.count):
        tag = b"rtt %d" % n
        start = time.monotonic()
        sock.send(tag)
        deadline = start + 1.0
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            readable, _, _ = select.select([sock], [], [], left)
            if not readable:
                break
            try:
                data = sock.recv(2048)
            except OSError:
                break
            if data == tag:
                samples.append((time.monotonic() - start) * 1000.0)
                break
        time.sleep(0.05)
    if not samples:
        print("udp_rtt_ms answered=0/%d" % args.count, flush=True)
        return 1
    samples.sort()
    print("udp_rtt_ms min=%.1f median=%.1f max=%.1f answered=%d/%d"
          % (samples[0], samples[len(samples) // 2], samples[-1], len(samples), args.count), flush=True)
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=("echo", "probe"))
    ap.add_argument("--bind", default="0.0.0.0")
    ap.add_argument("--target")
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--count", type=int, default=10)
    args = ap.parse_args()
    if args.mode == "echo":
        return echo(args)
    if not args.target:
        ap.error("probe needs --target")
    return probe(args)


if __name__ == "__main__":
    sys.exit(main())
