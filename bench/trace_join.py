#!/usr/bin/env python3
"""Joins the latency trace of the gateway, the engine and the microphone
(BASE.gateway, BASE.engine, BASE.mic, written when SONVALE_TRACE=BASE) into the
delay of every leg, and prints the median and p90 of each in ms:
  capture -> arrive   the page's capture time to the chunk's arrival at the gateway
  arrive -> send      the chunk's arrival to its datagram to the engine
  send -> ring        the datagram to the engine's ring write of its packet
  ring -> mic         the ring write to the microphone's hand-over to the sound server
Usage: trace_join.py BASE [--since US] [--until US] [--json]"""

import argparse
import bisect
import json
import os

LEGS = ["capture -> arrive", "arrive -> send", "send -> ring", "ring -> mic"]
PACKET = 960


def quantile(sorted_values, q):
    if not sorted_values:
        return None
    pos = q * (len(sorted_values) - 1)
    lo = int(pos)
    hi = min(lo + 1, len(sorted_values) - 1)
    return sorted_values[lo] + (sorted_values[hi] - sorted_values[lo]) * (pos - lo)


def median(sorted_values):
    return quantile(sorted_values, 0.5)


def read(path, since, until):
    if not os.path.exists(path):
        return []
    out = []
    with open(path) as f:
        for line in f:
            try:
                o = json.loads(line)
            except ValueError:
                continue  # a line cut by a crash
            if since <= o.get("t", -1) <= until:
                out.append(o)
    return sorted(out, key=lambda o: o["t"])


def stats(values_us):
    ms = sorted(v / 1000 for v in values_us)
    return {"count": len(ms), "median": median(ms), "p90": quantile(ms, 0.9)}


def legs(base, since=0, until=2**62):
    gateway = read(base + ".gateway", since, until)
    rings = read(base + ".engine", since, until)
    mics = read(base + ".mic", since, until)
    arrive = {o["chunk"]: o for o in gateway if o.get("leg") == "arrive"}
    sends = [o for o in gateway if o.get("leg") == "send"]
    values = {leg: [] for leg in LEGS}
    values[LEGS[0]] = [o["t"] - o["capture"] for o in arrive.values() if "capture" in o]
    first_send = {}
    for o in sends:
        first_send.setdefault(o["chunk"], o)
    values[LEGS[1]] = [o["t"] - arrive[c]["t"] for c, o in first_send.items() if c in arrive]
    # A sequence number comes again in a later stream: the first ring write after the send.
    ring_by_seq = {}
    for o in rings:
        if not o.get("concealed"):
            ring_by_seq.setdefault(o["seq"], []).append(o["t"])
    for o in sends:
        later = [t for t in ring_by_seq.get(o["seq"], []) if t >= o["t"]]
        if later:
            values[LEGS[2]].append(later[0] - o["t"])
    mics.sort(key=lambda o: o["frame"])
    starts = [o["frame"] for o in mics]
    for o in rings:
        i = bisect.bisect_right(starts, o["frame"]) - 1
        if i >= 0 and o["frame"] < starts[i] + mics[i]["frames"] and mics[i]["t"] >= o["t"]:
            values[LEGS[3]].append(mics[i]["t"] - o["t"])
    return {leg: stats(v) for leg, v in values.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("base")
    parser.add_argument("--since", type=int, default=0)
    parser.add_argument("--until", type=int, default=2**62)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    result = legs(args.base, args.since, args.until)
    if args.json:
        print(json.dumps(result, indent=1))
        return
    print(f"{'leg':<20} {'count':>7} {'median ms':>10} {'p90 ms':>8}")
    for leg, s in result.items():
        fmt = lambda v: "-" if v is None else f"{v:.1f}"  # noqa: E731
        print(f"{leg:<20} {s['count']:>7} {fmt(s['median']):>10} {fmt(s['p90']):>8}")


if __name__ == "__main__":
    main()
