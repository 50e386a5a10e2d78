#!/usr/bin/env python3
"""Writes the golden trace files of the kivra-trace tests (run from this folder)."""

MONO = 5_000_000_000          # us, header mono_us
WALL = 1_765_000_000_000_000  # us, header wall_us: 2025-12-06 05:46:40 UTC
FRAME = 16_667                # us, one frame at 60 Hz


def line(t, d, data, length=None):
    length = len(data) if length is None else length
    return f"{t} {d} {length} {data[:48].hex()}\n"


def game(d, n):
    return f"{d}{n:08d}".encode().ljust(64, b"x")


def head(quark):
    out = [f"# quark {quark}\n", f"# clock wall_us {WALL} mono_us {MONO}\n"]
    for k in range(10):
        t = MONO + 100_000 + k * 100_000
        out.append(line(t, "o", f"KVRA ping {k} {5_000_100 + k * 100}".encode()))
    out.append(line(MONO + 1_300_000, "o", b"KVRA delay 1 1"))
    return out


def steady(o_time, i_time, o_skip=(), i_skip=()):
    rows = []
    for n in range(120):
        if n not in o_skip:
            rows.append((o_time(n), "o", game("O", n)))
        if n not in i_skip:
            rows.append((i_time(n), "i", game("I", n)))
    rows.sort(key=lambda r: r[0])
    return [line(*r) for r in rows]


def base(n):
    return MONO + 2_000_000 + n * FRAME


with open("steady.txt", "w") as f:
    f.writelines(head("steady.1") + steady(base, lambda n: base(n) + 5000))

with open("gap-burst.txt", "w") as f:
    # To the emulator nothing for 22 frames; to the peer frames 90-99 held back and sent together.
    f.writelines(head("gap.2") + steady(lambda n: base(99) if 90 <= n <= 99 else base(n),
                                        lambda n: base(n) + 5000, i_skip=range(60, 81)))

with open("damaged.txt", "w") as f:
    rows = head("bad.1")[:2]
    rows += [line(base(0), "o", game("O", 0)), line(base(1), "i", game("I", 1)),
             line(base(2), "o", bytes(100)),
             "garbage here\n",
             f"{base(3)} o 4 zz00zz00\n",
             f"{base(4)} x 1 00\n",
             f"{base(5)} o 3 0102\n",
             line(base(6), "i", game("I", 6)),
             f"{base(7)} o 10 0102"]
    f.writelines(rows)

with open("not-a-trace.txt", "w") as f:
    f.write("hello world\nthis is a shopping list\n")
