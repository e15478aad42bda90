"""How promptly long calls stop on Ctrl-C, and how freely other threads run
meanwhile.

    bash scripts/dev.sh bench bench_responsiveness [--repeat 3]

Ctrl-C: a child process starts the call, and SIGINT arrives a set delay
after the call began (inside generation, fingerprinting or scoring,
depending on the size; the beam-50000 case is deep in a level of millions
of candidates); the figure is the time from the signal to the
KeyboardInterrupt, best and worst of `--repeat` runs. `--only wide` runs
just that case.
Heartbeat: a thread sleeps 50 ms in a loop while a search of about a second
runs; a call that held the interpreter lock would let it tick about once.
"""

import argparse
import random
import subprocess
import sys
import textwrap
import threading
import time

CHILD = textwrap.dedent("""
    import os, random, signal, sys, threading, time
    from vek_math import vek_core as v
    rows, delay, what = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
    rng = random.Random(3)
    if what == "search":
        xs = [[rng.uniform(0.5, 2.0) for _ in range(rows)] for _ in range(2)]
        ys = [rng.uniform(0.0, 1.0) for _ in range(rows)]
        call = lambda: v.find_formula(xs, ys)
    elif what == "wide":
        xs = [[rng.uniform(0.5, 2.0) for _ in range(rows)] for _ in range(4)]
        ys = [x0 * x1 + __import__("math").sin(x2) for x0, x1, x2 in zip(*xs[:3])]
        ys = [y + rng.gauss(0.0, 0.01) for y in ys]
        call = lambda: v.find_formula(xs, ys, max_complexity=14, beam_width=50000)
    else:
        a = [[rng.uniform(-1.0, 1.0) for _ in range(rows)]]
        call = lambda: v.geometric_product_n(a, a, [1] * 13)
    sent = []
    def fire():
        time.sleep(delay)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=fire, daemon=True).start()
    try:
        call()
        print("finished")
    except KeyboardInterrupt:
        print(time.perf_counter() - sent[0])
""")


def sigint_latency(what, rows, delay, repeat):
    out = []
    for _ in range(repeat):
        r = subprocess.run(
            [sys.executable, "-I", "-c", CHILD, str(rows), str(delay), what],
            capture_output=True,
            text=True,
            timeout=600,
        )
        out.append(float(r.stdout.strip()) if r.stdout.strip() != "finished" else float("nan"))
    return min(out), max(out)


def heartbeat_ticks():
    from vek_math import vek_core as v

    rng = random.Random(4)
    cols = [[rng.uniform(0.5, 2.0) for _ in range(300)] for _ in range(2)]
    ys = [rng.uniform(-1.0, 1.0) for _ in range(300)]
    ticks = 0
    done = threading.Event()

    def beat():
        nonlocal ticks
        while not done.wait(0.05):
            ticks += 1

    t = threading.Thread(target=beat)
    t.start()
    t0 = time.perf_counter()
    v.find_formula(cols, ys, max_complexity=9, beam_width=6000)
    elapsed = time.perf_counter() - t0
    done.set()
    t.join()
    return elapsed, ticks


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", choices=["search", "wide", "geometric"], default=None)
    args = ap.parse_args()
    print("Ctrl-C latency (signal -> KeyboardInterrupt), best / worst of", args.repeat)
    for what, rows, delay in (
        ("search", 300_000, 1.0),
        ("search", 300_000, 4.0),
        ("search", 1_000_000, 2.0),
        ("search", 1_000_000, 8.0),
        ("wide", 3_000, 5.0),
        ("geometric", 8192, 1.0),
    ):
        if args.only is not None and what != args.only:
            continue
        lo, hi = sigint_latency(what, rows, delay, args.repeat)
        label = {
            "search": f"find_formula, 2 x {rows:,} rows",
            "wide": f"find_formula, 4 x {rows:,} rows, beam 50000",
            "geometric": "geometric_product_n, 2^13 entries",
        }[what]
        print(f"  {label:<46} at {delay:>4.1f} s: {lo * 1e3:7.1f} / {hi * 1e3:7.1f} ms")
    if args.only is not None:
        return
    elapsed, ticks = heartbeat_ticks()
    print(f"heartbeat (50 ms) during a {elapsed:.2f} s search: {ticks} ticks (about {elapsed / 0.05:.0f} if free)")


if __name__ == "__main__":
    main()
