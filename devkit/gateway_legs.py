#!/usr/bin/env python3
"""The gateway's legs from its trace: capture -> arrive and arrive -> send (ms),
median and p90 per window of the stream, and the lost packets it sent.
Usage: gateway_legs.py TRACE.gateway [WINDOW_S]  (prints one JSON object)"""
import json
import statistics
import sys


def quantile(values, q):
    s = sorted(values)
    return round(s[min(len(s) - 1, int(q * len(s)))], 1) if s else None


def legs(path, window_s=30):
    arrive, sends, concealed = {}, {}, []
    for line in open(path):
        row = json.loads(line)
        if row["leg"] == "arrive":
            arrive[row["chunk"]] = row
        elif row["leg"] == "send" and "chunk" in row:
            sends[row["chunk"]] = row["t"]
        elif row["leg"] == "send":
            concealed.append(row["t"])
    if not arrive:
        return {"chunks": 0}
    t0 = min(r["t"] for r in arrive.values())
    windows = {}
    for chunk, row in arrive.items():
        w = windows.setdefault(int((row["t"] - t0) / 1e6 // window_s), {"capture": [], "gateway": []})
        if "capture" in row:
            w["capture"].append((row["t"] - row["capture"]) / 1000)
        if chunk in sends:
            w["gateway"].append((sends[chunk] - row["t"]) / 1000)
    total = lambda w: [c + g for c, g in zip(w["capture"], w["gateway"])]
    return {
        "chunks": len(arrive),
        "sent": len(sends),
        "concealed_after_3s": sum(1 for t in concealed if t - t0 > 3e6),
        "windows": [
            {"from_s": k * window_s,
             "capture_arrive": [quantile(w["capture"], 0.5), quantile(w["capture"], 0.9)],
             "arrive_send": [quantile(w["gateway"], 0.5), quantile(w["gateway"], 0.9)],
             "capture_send": [quantile(total(w), 0.5), quantile(total(w), 0.9)]}
            for k, w in sorted(windows.items())
        ],
    }


if __name__ == "__main__":
    print(json.dumps(legs(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 30)))
