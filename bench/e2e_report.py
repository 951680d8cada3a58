#!/usr/bin/env python3
"""The section "From the phone's microphone to the recording program" of
docs/performance.md, from e2e_delay.py's JSON. report.py includes it; run alone
it replaces the section in an existing page:
  e2e_report.py E2E_JSON PAGE"""

import sys

TITLE = "## From the phone's microphone to the recording program"
CHUNK_MS = 20
CAPTURE_QUANTUM_MS = 10  # Chromium's capture buffer on PulseAudio
TARGETS = {"Low": 70, "Normal": 100, "Steady": 200}


def ms(v):
    return "–" if v is None else f"{v:.0f}"


def verdict(row, target):
    if row.get("median") is None:
        return "not measured"
    held = (row["median"] <= target and row["p90"] <= row["median"] + 20
            and abs(row["last_minute"] - row["first_minute"]) <= 10)
    return "met" if held else "**missed**"


def mic_buffer_ms(e2e):
    """The microphone's buffer as the trace measured it (ring -> mic), else its target."""
    measured = [row["legs"]["ring -> mic"]["median"] for row in e2e.get("settings", {}).values()
                if row.get("legs", {}).get("ring -> mic", {}).get("median") is not None]
    return sorted(measured)[len(measured) // 2] if measured else e2e["mic_target_ms"]


def section(add, e2e):
    mic = round(mic_buffer_ms(e2e))
    floor = CHUNK_MS + CAPTURE_QUANTUM_MS + mic
    add(TITLE)
    add("")
    add("`bench/e2e_delay.py` on a private PulseAudio: Chromium (headless, no fake device) captures from a pipe")
    add("source into which the bench writes a 5 ms click once a second and streams the gateway's page at each")
    add("setting through `sonvale-web` and the engine to the \"Tarnwell\" microphone, which `parecord` records")
    add("meanwhile. A click's delay is from its write into the source to `parecord` receiving it, found by")
    add(f"cross-correlation (±3 ms); clicks from 2 s after the page streams, {e2e['minutes']:g} min per setting")
    add(f"(`BENCH_MINUTES`; 10 for the drift check), load average {e2e.get('load_before', '?')} before and "
        f"{e2e.get('load_after', '?')} after. The native sender is `sonvale-phone` streaming the same")
    add("clicks, from the engine's ring write of the packet carrying a click (within 2 ms of its datagram).")
    add(f"Floor: one {CHUNK_MS} ms chunk + a {CAPTURE_QUANTUM_MS} ms capture quantum + the microphone's buffer, "
        f"{mic} ms from a packet's ring write to its hand-over (the trace's median; the microphone keeps "
        f"{e2e['mic_target_ms']} ms held back on average) = {floor} ms; native: {mic} ms. The recording program's own "
        "10 ms fragments come on top.")
    add("")
    add("| Path | clicks | median ms | p90 ms | first minute | last minute | floor ms | target | |")
    add("|---|---|---|---|---|---|---|---|---|")
    for name, row in e2e.get("settings", {}).items():
        if "error" in row:
            add(f"| browser, {name} | {row['error']} | | | | | | | |")
            continue
        add(f"| browser, {name} | {row['clicks']} | {ms(row.get('median'))} | {ms(row.get('p90'))} "
            f"| {ms(row.get('first_minute'))} | {ms(row.get('last_minute'))} | {floor} "
            f"| ≤ {TARGETS[name]} | {verdict(row, TARGETS[name])} |")
    n = e2e.get("native", {})
    if "error" in n:
        add(f"| native sender | {n['error']} | | | | | | | |")
    else:
        add(f"| native sender, datagram → recording program | {n.get('clicks')} | {ms(n.get('median'))} "
            f"| {ms(n.get('p90'))} | {ms(n.get('first_minute'))} | {ms(n.get('last_minute'))} | {mic} | | |")
    add("")
    legs = [(name, row["legs"]) for name, row in e2e.get("settings", {}).items() if "legs" in row]
    if legs:
        add("Where the time goes, per leg, from the trace (`SONVALE_TRACE`, joined by `bench/trace_join.py`):")
        add("median / p90 in ms; a leg without lines is one whose stamps are not written yet.")
        add("")
        names = list(legs[0][1])
        add("| Setting | " + " | ".join(names) + " |")
        add("|---" * (len(names) + 1) + "|")
        for name, leg in legs:
            cells = [f"{ms(leg[k]['median'])} / {ms(leg[k]['p90'])}" if leg[k]["count"] else "–" for k in names]
            add(f"| {name} | " + " | ".join(cells) + " |")
        add("")
    mid = e2e.get("midstream", {})
    worst = mid.get("worst_window_percent", [])
    if worst:
        add("Opening the microphone mid-stream: `parecord` opened 20 s into a 1 kHz tone from `sonvale-phone`;")
        add("the worst 0.5 s window from the tone's onset (windows every 0.1 s for 3 s) in each of")
        add(f"{mid['trials']} trials was off by {', '.join(f'{w:.3f}' for w in worst)} % (goal ±0.1 %: "
            f"{'met' if max(worst) <= 0.1 else '**missed**'}). {mid.get('windows_with_dropout', 0)} windows held a "
            "dropout (the sender stalled and the ring ran dry) or lay within a second after one, and are left out: "
            "they measure the machine's load, not the opening.")
        add("")


def replace(page_path, e2e):
    lines = []
    section(lines.append, e2e)
    with open(page_path, encoding="utf-8") as f:
        page = f.read().split("\n")
    if TITLE in page:
        start = page.index(TITLE)
        end = next((i for i in range(start + 1, len(page)) if page[i].startswith("## ")), len(page))
        page[start:end] = lines
    else:
        at = next((i for i, line in enumerate(page) if line == "## Micro benchmarks"), len(page))
        page[at:at] = lines
    with open(page_path, "w", encoding="utf-8") as f:
        f.write("\n".join(page))


if __name__ == "__main__":
    import json

    with open(sys.argv[1], encoding="utf-8") as f:
        replace(sys.argv[2], json.load(f))
