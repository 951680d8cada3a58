#!/usr/bin/env python3
"""Writes docs/performance.md from one benchmark run: the micro benchmarks'
Google Benchmark JSON and the end-to-end program's JSON. Every number in the
page comes from those two files or from the machine itself."""

import argparse
import datetime
import json
import os
import platform
import subprocess

import e2e_report

MIB_KB = 1024

# name -> (what one iteration is, the limit it is set against)
MICRO = [
    ("opus_decode", "libopus decode of one phone packet (the limit)", None),
    ("opus_conceal", "libopus concealment of one lost packet", None),
    ("opus_reset_1_decode", "a decoder reset and one decode (a new stream's least cost)", None),
    ("audio_packet_decode", "`AudioPacket::decode` of one datagram", "opus_decode"),
    ("jitter_in_order", "`JitterBuffer` push (payload copied into a new vector) and drain, in order", "opus_decode"),
    ("jitter_gaps", "the same, every tenth number missing", "opus_decode"),
    ("jitter_reordered", "the same, neighbours swapped (the late one dropped)", "opus_decode"),
    ("jitter_largest_gap", "the same, a jump of 2^31 - 1 (a new stream, no loss reports)", "opus_decode"),
    ("ring_write", "`SVRing_Write` of one packet's 960 frames", "memcpy_packet_in"),
    ("memcpy_packet_in", "memcpy of the same 7680 bytes into a one-second buffer", None),
    ("ring_read", "`SVRing_Read` of 960 frames", "memcpy_packet_out"),
    ("memcpy_packet_out", "memcpy of the same 7680 bytes out of a one-second buffer", None),
    ("control_decide", "control line dispatch: what a line asks (`ControlServer::decide`, mode rule)", "opus_decode"),
    ("control_framing", "cutting one segment of four control lines into lines", "opus_decode"),
    ("control_line_dispatch", "one mode line from a real TCP connection through `poll` to the main loop", "opus_decode"),
    ("control_poll_idle/0", "one `ControlServer::poll`, no connection", "opus_decode"),
    ("control_poll_idle/8", "one `ControlServer::poll`, 8 idle authenticated connections", "opus_decode"),
    ("monitor_rms", "the meter's RMS over the newest 480 frames", "opus_decode"),
]


def machine():
    model = "unknown"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return {
        "model": model,
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


def commit():
    try:
        out = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                             check=False, cwd=os.path.dirname(os.path.abspath(__file__)))
        return out.stdout.strip() or "unknown"
    except OSError:
        return "unknown"


def micro_medians(data):
    """run name -> median CPU time per iteration in ns."""
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    medians = {}
    singles = {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        ns = b["cpu_time"] * scale[b.get("time_unit", "ns")]
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = ns
        elif b.get("run_type", "iteration") == "iteration":
            singles.setdefault(b["run_name"], []).append(ns)
    for name, values in singles.items():
        if name not in medians:
            values.sort()
            medians[name] = values[len(values) // 2]
    return medians


def fmt(value, digits=1):
    if value is None:
        return "–"
    if abs(value) >= 100:
        return f"{value:,.0f}"
    return f"{value:.{digits}f}"


def verdict(ok):
    return "met" if ok else "**missed**"


def missed_notes(p, t):
    """For each missed goal, what the same run says about where the time goes."""
    notes = []
    for key, label, floor, poll in (("clients0", "no control connection", 0.90, "control_poll_idle/0"),
                                    ("clients8", "8 idle control connections", 0.85, "control_poll_idle/8")):
        k = f"throughput.{key}"
        if p[k + ".ratio"] >= floor:
            continue
        extra = p[k + ".engine_cpu_us_per_packet"] - p[k + ".bare_cpu_us_per_packet"]
        if p[k + ".cpu_ratio"] >= floor:
            notes.append(f"Throughput, {label}: in CPU time the engine is at {p[k + '.cpu_ratio']:.2f} of the bare "
                         "loop, within the goal; the packets per second lost time waiting for a processor.")
        else:
            share = (f"; the control server's poll, once per loop iteration, alone costs {t[poll] / 1000:.1f} µs "
                     "(micro benchmarks)") if poll in t else ""
            notes.append(f"Throughput, {label}: the engine spends {extra:.1f} µs of CPU per packet beyond the "
                         f"decode (CPU ratio {p[k + '.cpu_ratio']:.2f}){share}.")
    bare = p["bare.decode_us_p50"]
    floor_p50 = p["latency.bare_receiver.us_p50"]
    if p["latency.us_p50"] > 2 * bare:
        notes.append(f"Latency p50: the bare receiver alone takes {fmt(floor_p50)} µs ({floor_p50 / bare:.1f} × the "
                     "decode) from sendto to decoded frames, so waking a sleeping receiver costs more than the decode "
                     f"on this machine; the engine's p50 is {p['latency.us_p50'] - floor_p50:+.0f} µs from it.")
    if p["latency.us_p99"] > 250:
        tail = (" Tails of milliseconds are time spent waiting for a processor, not the engine's work (see p50)."
                if p["latency.us_p99"] > 1000 else "")
        notes.append(f"Latency p99: the bare receiver's p99 in the same run is "
                     f"{fmt(p['latency.bare_receiver.us_p99'])} µs.{tail}")
    rt, rt_bare = p["realtime.cpu_percent"], p["realtime.bare_receiver.cpu_percent"]
    if rt > 0.5:
        notes.append(f"CPU for one stream: the bare receiver alone needs {rt_bare:.3f} % of a core at the same pace "
                     f"(decode {p['realtime.bare_cpu_ms_per_audio_second'] / 10:.3f} %, the rest is waking "
                     f"{fmt(p['realtime.bare_receiver.wakeups_per_second'])} times a second); the engine adds "
                     f"{rt - rt_bare:+.3f} %.")
    idle, idle_bare = p["idle.cpu_percent"], p["idle.bare_receiver_cpu_percent"]
    if idle > 0.1:
        notes.append(f"CPU while idle: waking every 20 ms costs the bare receiver alone {idle_bare:.3f} % of a core "
                     f"here; the engine adds {idle - idle_bare:+.3f} %.")
    if "ring_write" in t and "memcpy_packet_in" in t and t["memcpy_packet_in"] / t["ring_write"] < 0.8:
        notes.append("Ring write: see the micro benchmarks below; both are a single copy of 7680 bytes.")
    return notes


def encode_share(web):
    """libopus encode of one 20 ms chunk every 20 ms, as % of a core."""
    return web["libopus_encode_us_p50"] / 20000 * 100


def web_missed_notes(web):
    notes = []
    for key, label, limit in (("opus_in", "Opus in", 1.0), ("pcm_in", "PCM in", 2.0)):
        w = web[key] if web else None
        if not w or w["cpu_percent_of_core"] < limit:
            continue
        notes.append(f"Gateway CPU, {label}: {fmt(w['cpu_us_per_chunk'])} µs per 20 ms chunk, "
                     f"{w['cpu_us_per_chunk'] / web['libopus_encode_us_p50']:.2f} × a libopus encode of the same "
                     "chunk in this run; see Browser gateway for what the process does per chunk.")
    return notes


def web_section(add, web):
    enc = web["libopus_encode_us_p50"]
    share = encode_share(web)
    add("## Browser gateway")
    add("")
    add(f"`sonvale-web` with one browser stream of {web['seconds']} s per row: a WebSocket client over TLS on")
    add("loopback sends a 20 ms chunk every 20 ms (1 kHz tone with a little noise) and stands in for the")
    add("engine's control and audio ports. PCM in: 16-bit PCM chunks, which the gateway encodes with libopus.")
    add("Opus in: Opus packets, as the page sends them where the browser can encode. The limit is libopus")
    add(f"encoding the same chunks in the same run: {fmt(enc)} µs per chunk (p99 {fmt(web['libopus_encode_us_p99'])} µs), "
        f"{share:.2f} % of a core at 50 chunks a second.")
    add("")
    add("| Stream | gateway CPU, % of a core | gateway CPU µs per chunk | libopus encode µs per chunk "
        "| ratio | goal | |")
    add("|---|---|---|---|---|---|---|")
    for key, label, limit in (("pcm_in", "PCM in, Opus out", 2.0), ("opus_in", "Opus in", 1.0)):
        w = web[key]
        add(f"| {label} | {w['cpu_percent_of_core']:.2f} | {fmt(w['cpu_us_per_chunk'])} | {fmt(enc)} "
            f"| {w['cpu_us_per_chunk'] / enc:.2f} | < {limit:g} % | {verdict(w['cpu_percent_of_core'] < limit)} |")
    add("")
    add("The gateway's CPU is its whole process (TLS, WebSocket, the playout clock, the datagrams, the encode")
    add("of PCM in) from the kernel's clock, over the stream and the half second after it (its last ticks),")
    add("per second of audio. The ratio is the gateway's CPU per chunk ÷ the encode of one chunk.")
    add("")
    add("Where the time between a chunk's message and its datagram goes. A message → datagram time is from")
    add("the client handing the message to its socket to the datagram reaching the engine's port; it")
    add("includes the playout buffer, which holds chunks on purpose to send one every 20 ms from a bursty")
    add("TCP stream, so it is mostly the buffer's depth (shown in chunks of 20 ms). The ping round trip is a")
    add(f"small message sent every {web['ping_every_ms']} ms through the same connection and answered by the gateway at")
    add("once: TLS, WebSocket framing and the gateway's dispatch, both ways, without the buffer. Half of it")
    add("bounds the gateway's own path from a message's arrival to its entry in the buffer; the encode of")
    add("PCM in comes on top of that (CPU µs per chunk above).")
    add("")
    add("A chunk waits in the buffer for the chunks ahead of it and then for the next tick of the gateway's")
    add("20 ms clock, whose phase against the page's sending is set when play-out starts (anywhere in 0–20 ms)")
    add("and kept for the stream. So message → datagram is about (chunks held) × 20 ms plus that phase, and")
    add("two streams differ by whole chunks and by the phase, not by the gateway's work; the spread from the")
    add("minimum to p99 is the lateness of the sender, the gateway and the receiver together. A minimum far")
    add("below a chunk is a chunk that came after the buffer had run dry (the clock catching up after a")
    add("stall sends several ticks at once) and went out with the next tick.")
    add("")
    add("| Stream | chunks matched | message → datagram min ms | p50 ms | p99 ms | p50 in chunks "
        "| ping round trip p50 ms | p99 ms |")
    add("|---|---|---|---|---|---|---|---|")
    for key, label in (("pcm_in", "PCM in"), ("opus_in", "Opus in")):
        w = web[key]
        add(f"| {label} | {w['matched']} of {w['chunks']} | {w['message_to_datagram_ms_min']:.2f} "
            f"| {w['message_to_datagram_ms_p50']:.2f} | {w['message_to_datagram_ms_p99']:.2f} "
            f"| {w['message_to_datagram_ms_p50'] / 20:.1f} | {w['ping_round_trip_ms_p50']:.3f} "
            f"| {w['ping_round_trip_ms_p99']:.3f} |")
    add("")
    add("Each datagram is matched to its chunk by its payload (the gateway's encoder and the benchmark's are")
    add("set up alike and libopus is deterministic); chunks not matched were dropped by the playout buffer")
    add("when it shrank, or are still in it at the end.")
    add("")


def render(micro, pipe, load_before, web=None, e2e=None):
    m = machine()
    p = pipe
    t = micro_medians(micro)
    lines = []
    add = lines.append

    add("# Performance")
    add("")
    add("Generated by `make bench` from measurements; do not edit by hand. Every figure is set against")
    add("its physical limit measured in the same run (the bare libopus decode of the same packets, memcpy")
    add("of the same bytes), because absolute times on shared machines drift.")
    add("")
    add("| Machine | |")
    add("|---|---|")
    add(f"| CPU | {m['model']} |")
    add(f"| cores | {m['cores']} |")
    add(f"| kernel | {m['kernel']} |")
    add(f"| date | {m['date']} |")
    add(f"| commit | {commit()} |")
    add(f"| load average before the run | {load_before} |")
    add(f"| packets | {p['packets.origin']}: {int(p['packets.count'])} packets, "
        f"{fmt(p['packets.mean_bytes'])} bytes of Opus on average |")
    add("")
    try:
        busy = float(load_before.split()[0]) > 0.5 * (m["cores"] or 1)
    except (ValueError, IndexError):
        busy = False
    if busy:
        add("> The machine was busy with other work when this ran (load average above half the cores):")
        add("> wall-clock figures (throughput, latency) are noisier than on a quiet machine; CPU-time")
        add("> figures are not affected by waiting, only by shared caches.")
        add("")
    if p.get("quick"):
        add("> Quick run (smoke test scale): too short for the figures to mean anything.")
        add("")

    goals = []
    bare = p["bare.decode_us_p50"]

    def goal(figure, measured, limit_text, ratio, goal_text, ok):
        goals.append((figure, measured, limit_text, ratio, goal_text, ok if isinstance(ok, str) else verdict(ok)))

    for key, label, floor in (("clients0", "no control connection", 0.90),
                              ("clients8", "8 idle control connections", 0.85)):
        r = p[f"throughput.{key}.ratio"]
        goal(f"throughput, {label}", f"{fmt(p[f'throughput.{key}.engine_pps'])} packets/s",
             f"bare decode {fmt(p[f'throughput.{key}.bare_pps'])} packets/s", f"{r:.2f}",
             f"≥ {floor:.2f}", r >= floor)
    r = p["latency.us_p50"] / bare
    goal("added latency p50", f"{fmt(p['latency.us_p50'])} µs", f"bare decode p50 {fmt(bare)} µs",
         f"{r:.2f}", "≤ 2 × bare decode", r <= 2.0)
    goal("added latency p99", f"{fmt(p['latency.us_p99'])} µs",
         f"bare receiver p99 {fmt(p['latency.bare_receiver.us_p99'])} µs",
         f"{p['latency.us_p99'] / p['latency.bare_receiver.us_p99']:.2f}", "≤ 250 µs", p["latency.us_p99"] <= 250)
    rt = p["realtime.cpu_percent"]
    rt_bare = p["realtime.bare_receiver.cpu_percent"]
    goal("CPU for one real-time stream", f"{rt:.3f} % of a core", f"bare receiver {rt_bare:.3f} %",
         f"{rt / rt_bare:.2f}", "≤ 0.5 %", rt <= 0.5)
    idle = p["idle.cpu_percent"]
    idle_bare = p["idle.bare_receiver_cpu_percent"]
    goal("CPU while idle", f"{idle:.3f} % of a core", f"bare receiver {idle_bare:.3f} %",
         f"{idle / idle_bare:.2f}", "≤ 0.1 %", idle <= 0.1)
    rss = p["rss.engine_peak_kb"]
    goal("engine peak RSS", f"{rss / MIB_KB:.2f} MiB", f"floor process {p['rss.floor_peak_kb'] / MIB_KB:.2f} MiB",
         f"{rss / p['rss.floor_peak_kb']:.2f}", "≤ 6 MiB", rss <= 6 * MIB_KB)
    if "ring_write" in t and "memcpy_packet_in" in t:
        r = t["memcpy_packet_in"] / t["ring_write"]
        goal("ring write / memcpy", f"{fmt(t['ring_write'])} ns per packet",
             f"memcpy {fmt(t['memcpy_packet_in'])} ns", f"{r:.2f}", "≥ 0.80", r >= 0.8)

    if web:
        encode_percent = encode_share(web)
        for key, label, limit in (("opus_in", "Opus in", 1.0), ("pcm_in", "PCM in", 2.0)):
            cpu = web[key]["cpu_percent_of_core"]
            goal(f"gateway CPU per browser stream, {label}", f"{cpu:.2f} % of a core",
                 f"libopus encode {encode_percent:.2f} %", f"{cpu / encode_percent:.2f}", f"< {limit:g} %",
                 cpu < limit)
        for key, label in (("opus_in", "Opus in"), ("pcm_in", "PCM in")):
            w = web[key]
            goal(f"gateway message → datagram p50 / p99, {label}",
                 f"{w['message_to_datagram_ms_p50']:.1f} / {w['message_to_datagram_ms_p99']:.1f} ms",
                 f"libopus encode {fmt(web['libopus_encode_us_p50'])} µs",
                 f"{w['message_to_datagram_ms_p50'] * 1000 / web['libopus_encode_us_p50']:.0f}",
                 "none (mostly the playout buffer)", "–")

    add("## Goals")
    add("")
    add("| Figure | Measured | Limit, same run | Ratio | Goal | |")
    add("|---|---|---|---|---|---|")
    for row in goals:
        add("| " + " | ".join(row) + " |")
    add("")
    for note in missed_notes(p, t) + web_missed_notes(web):
        add(f"- {note}")
    add("")
    add("Throughput: engine ÷ bare decode packets per second. Ring: memcpy time ÷ ring time. Otherwise")
    add("measured ÷ limit. The bare receiver is a thread of the benchmark that does the least any receiver")
    add("can: it waits up to 20 ms in `select` for a datagram on its own port, receives it, decodes it with")
    add("libopus and copies the frames into a one-second buffer; it is fed the same packets at the same pace.")
    add("")

    add("## Throughput")
    add("")
    add("Datagrams through the whole engine (socket → header → jitter buffer → decoder → ring), with the")
    add("sender keeping at most 100 packets between the socket and the ring so the socket never overflows.")
    add(f"Median of {int(p['throughput.clients0.reps'])} alternating runs of the engine and of a bare decode loop over the same")
    add("packets. CPU time per packet is set against the bare loop's as well: unlike packets per second,")
    add("it does not count time spent waiting for a processor.")
    add("")
    add("| Engine | packets/s | bare decode packets/s | ratio | engine CPU µs/packet | bare CPU µs/packet | CPU ratio | socket drops |")
    add("|---|---|---|---|---|---|---|---|")
    for key, label in (("clients0", "no PIN, no control connection"),
                       ("clients8", "PIN, 8 authenticated idle connections")):
        k = f"throughput.{key}"
        add(f"| {label} | {fmt(p[k + '.engine_pps'])} | {fmt(p[k + '.bare_pps'])} | {p[k + '.ratio']:.2f} "
            f"| {fmt(p[k + '.engine_cpu_us_per_packet'])} | {fmt(p[k + '.bare_cpu_us_per_packet'])} "
            f"| {p[k + '.cpu_ratio']:.2f} | {int(p[k + '.udp_drops'])} |")
    add("")

    add("## Added latency")
    add("")
    add("From `sendto` of a datagram to the ring's write index covering its frames, with the engine playing")
    add("and asleep in its 20 ms wait when the packet arrives (PIN set, one authenticated connection). It")
    add("includes the kernel's delivery and the wake-up of the receiver, which the bare receiver pays too.")
    add("")
    add("| Receiver | packets | one every | p50 µs | p99 µs | max µs |")
    add("|---|---|---|---|---|---|")
    for who, k in (("engine", "latency"), ("bare receiver", "latency.bare_receiver")):
        add(f"| {who} | {int(p[k + '.packets'])} | {fmt(p[k + '.interval_ms'])} ms | {fmt(p[k + '.us_p50'])} "
            f"| {fmt(p[k + '.us_p99'])} | {fmt(p[k + '.us_max'])} |")
    for who, k in (("engine", "realtime"), ("bare receiver", "realtime.bare_receiver")):
        add(f"| {who} | {int(p[k + '.seconds'] * 50)} | 20 ms (real time) | {fmt(p[k + '.latency_us_p50'])} "
            f"| {fmt(p[k + '.latency_us_p99'])} | {fmt(p[k + '.latency_us_max'])} |")
    add("")
    add("| Bare decode of the same packets | p50 µs | p99 µs |")
    add("|---|---|---|")
    add(f"| back to back | {fmt(p['bare.decode_us_p50'])} | {fmt(p['bare.decode_us_p99'])} |")
    add(f"| one packet every {fmt(p['latency.interval_ms'])} ms (caches as cold as a receiver's) "
        f"| {fmt(p['bare.paced_decode_us_p50'])} | {fmt(p['bare.paced_decode_us_p99'])} |")
    add("")

    add("## Cost of one real-time stream")
    add("")
    add("CPU time (user + system, from the kernel's per-process and per-thread clocks) while a packet arrives")
    add("every 20 ms, and while nothing arrives. Wake-ups are the times the receiver went to sleep.")
    add("")
    add("| | engine | bare receiver | ratio | bare decode alone |")
    add("|---|---|---|---|---|")
    add(f"| streaming ({fmt(p['realtime.seconds'])} s; bare receiver {fmt(p['realtime.bare_receiver.seconds'])} s): "
        f"% of one core | {rt:.3f} | {rt_bare:.3f} | {rt / rt_bare:.2f} "
        f"| {p['realtime.bare_cpu_ms_per_audio_second'] / 10:.3f} |")
    add(f"| streaming: wake-ups per second | {fmt(p['realtime.wakeups_per_second'])} "
        f"| {fmt(p['realtime.bare_receiver.wakeups_per_second'])} | | |")
    add(f"| idle ({fmt(p['idle.seconds'])} s): % of one core | {idle:.3f} | {idle_bare:.3f} "
        f"| {idle / idle_bare:.2f} | |")
    add(f"| idle: wake-ups per second | {fmt(p['idle.wakeups_per_second'])} "
        f"| {fmt(p['idle.bare_receiver_wakeups_per_second'])} | | |")
    add("")
    add(f"Peak RSS (VmHWM) of the engine after all of the above: {rss / MIB_KB:.2f} MiB, against "
        f"{p['rss.floor_peak_kb'] / MIB_KB:.2f} MiB")
    add("for `sonvale-rss-floor`, a plain program (libc and libopus only) that maps a ring-sized area, holds")
    add(f"one libopus decoder and decodes the same packets (ratio {rss / p['rss.floor_peak_kb']:.2f}).")
    add(f"The engine's whole CPU time as getrusage reports it after it exited: {p['engine.cpu_s_by_rusage']:.3f} s")
    add(f"(its CPU clock just before: {p['engine.cpu_s_by_clock']:.3f} s).")
    add("")

    add("## Growth")
    add("")
    add("| Rate | engine CPU µs per packet | bare receiver CPU µs per packet | ratio | bare decode CPU µs per packet |")
    add("|---|---|---|---|---|")
    for speed in (1, 10, 100):
        v = p[f"growth.x{speed}.cpu_us_per_packet"]
        b = p[f"growth.x{speed}.bare_receiver_cpu_us_per_packet"]
        add(f"| {speed}× real time | {fmt(v)} | {fmt(b)} | {v / b:.2f} | {fmt(p['growth.bare_cpu_us_per_packet'])} |")
    add("")
    add(f"Largest gap: a packet {int(p['gap.jump']):,} numbers ahead, the farthest a sender can jump. The engine")
    add("takes such a jump as a new stream: it resets its decoder and decodes the packet, concealing nothing.")
    add("")
    add("| | engine | bare reset + 1 decode | ratio |")
    add("|---|---|---|---|")
    add(f"| wall time to absorb, µs (median; engine max {fmt(p['gap.us_max'])}) | {fmt(p['gap.us_median'])} "
        f"| {fmt(p['gap.bare_us_median'])} | {p['gap.us_median'] / p['gap.bare_us_median']:.2f} |")
    add(f"| CPU time, µs (median) | {fmt(p['gap.cpu_us_median'])} | {fmt(p['gap.bare_cpu_us_median'])} "
        f"| {p['gap.cpu_us_median'] / p['gap.bare_cpu_us_median']:.2f} |")
    add("")
    add(f"Each of the {int(p['gap.reps'])} runs did the bare decodes first, so both were measured under the same load.")
    add(f"One concealment right after a packet takes {fmt(p['bare.conceal_us'])} µs.")
    add("")

    if e2e:
        e2e_report.section(add, e2e)
    if web:
        web_section(add, web)

    add("## Micro benchmarks")
    add("")
    add("Google Benchmark, median CPU time of the repetitions.")
    add(f"The meter's RMS is {micro.get('context', {}).get('monitor_rms', 'unknown')}.")
    add("")
    add("| Step | ns | limit, ns | share of the limit |")
    add("|---|---|---|---|")
    for name, label, limit in MICRO:
        if name not in t:
            add(f"| {label} | not measured | | |")
            continue
        if limit and limit in t and limit.startswith("memcpy"):
            add(f"| {label} | {fmt(t[name])} | {limit} {fmt(t[limit])} | memcpy ÷ ring {t[limit] / t[name]:.2f} |")
        elif limit and limit in t:
            add(f"| {label} | {fmt(t[name])} | {limit} {fmt(t[limit])} | {100 * t[name] / t[limit]:.1f} % |")
        else:
            add(f"| {label} | {fmt(t[name])} | | |")
    add("")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--micro", required=True)
    parser.add_argument("--pipeline", required=True)
    parser.add_argument("--load-before", default="")
    parser.add_argument("--web", help="sonvale-web-bench's JSON; without it the gateway's section is left out")
    parser.add_argument("--e2e", help="e2e_delay.py's JSON; without it the end-to-end section is left out")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with open(args.micro, encoding="utf-8") as f:
        micro = json.load(f)
    with open(args.pipeline, encoding="utf-8") as f:
        pipe = json.load(f)
    web = None
    if args.web:
        with open(args.web, encoding="utf-8") as f:
            web = json.load(f)
    e2e = None
    if args.e2e:
        with open(args.e2e, encoding="utf-8") as f:
            e2e = json.load(f)
    text = render(micro, pipe, args.load_before or "unknown", web, e2e)
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
