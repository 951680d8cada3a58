#!/usr/bin/env python3
"""The delay from a phone's microphone to a recording program, end to end, on a
private PulseAudio (run it inside scripts/sandbox.sh):

- browser: Chromium captures from a pipe source into which this program writes a
  5 ms click once a second, streams the gateway's page at each setting through
  sonvale-web and the engine to the "Tarnwell" microphone, which parecord records
  meanwhile. Each click's delay is the time parecord hands it over minus the time
  it was written into the source, found by cross-correlation (±3 ms).
- native: sonvale-phone streams the same clicks from a file; the delay runs from
  the engine's ring write of the packet carrying each click (the engine writes a
  packet within 2 ms of its datagram once its first four were released).
- mid-stream open: sonvale-phone streams a 1 kHz tone, parecord opens the
  microphone 20 s later; the frequency of every 0.5 s window from the tone's onset.

The engine, the microphone and the gateway log the latency trace meanwhile;
trace_join.py turns it into the delay of every leg. Prints one JSON object."""

import argparse
import array
import json
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

import trace_join

RATE = 48000
CLICK = 240  # 5 ms
PIN = "2468"
DEVICE = "SonvaleDevice_UID"
SETTINGS = [("Low", 0), ("Normal", 1), ("Steady", 2)]


def now_us():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000


def click_shape():
    """A windowed burst of noise, the same in every run: sharp in cross-correlation."""
    rng = random.Random(19)
    return [0.5 * math.sin(math.pi * (i + 0.5) / CLICK) ** 2 * rng.uniform(-1, 1) for i in range(CLICK)]


class SoundServer:
    def __init__(self, root, folder):
        self.scripts = os.path.join(root, "scripts/test-sound")
        self.dir = folder
        out = subprocess.run([os.path.join(self.scripts, "start-pulseaudio.sh"), folder], check=True,
                             capture_output=True, text=True).stdout
        for line in out.splitlines():
            name, _, value = line.partition("=")
            os.environ[name] = value

    def pactl(self, *args):
        done = subprocess.run(["pactl", *args], capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"pactl {' '.join(args)}: {done.stderr.strip()}")
        return done.stdout

    def stop(self):
        subprocess.run([os.path.join(self.scripts, "stop.sh"), self.dir], check=False)


class ClickSource:
    """A pipe source as the phone's microphone: silence with a click at the start
    of every second, written in 2 ms steps on the monotonic clock. Keeps the
    time each click reached the sound server."""

    def __init__(self, server, folder):
        self.path = os.path.join(folder, "phone.fifo")
        server.pactl("load-module", "module-pipe-source", "source_name=bench_phone", f"file={self.path}",
                     "format=float32le", f"rate={RATE}", "channels=1", "channel_map=mono",
                     "source_properties=device.description=BenchPhone")
        server.pactl("set-default-source", "bench_phone")
        self.fd = os.open(self.path, os.O_RDWR | os.O_NONBLOCK)
        self.clicks = []  # monotonic µs
        self.shape = click_shape()
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        start = now_us()
        written = 0
        while self.running:
            due = (now_us() - start) * RATE // 1_000_000
            if due > written:
                block = [0.0] * (due - written)
                first_click = None
                for n in range(written, due):
                    k = n % RATE
                    if k < CLICK:
                        block[n - written] = self.shape[k]
                        if k == 0:
                            first_click = n
                t = now_us()
                try:
                    os.write(self.fd, array.array("f", block).tobytes())
                except BlockingIOError:
                    pass  # nobody reads the source yet
                if first_click is not None:
                    self.clicks.append(t - (due - first_click) * 1_000_000 // RATE)
                written = due
            time.sleep(0.002)

    def stop(self):
        self.running = False
        self.thread.join()
        os.close(self.fd)


class Recorder:
    """parecord on the "Tarnwell" microphone, each chunk stamped as it arrives."""

    def __init__(self):
        self.proc = subprocess.Popen(
            ["parecord", "--raw", "--format=float32le", f"--rate={RATE}", "--channels=1", "--latency-msec=10",
             "-d", DEVICE], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.data = bytearray()
        self.chunks = []  # (monotonic µs, frames so far)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                return
            t = now_us()
            self.data += chunk
            self.chunks.append((t, len(self.data) // 4))

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.thread.join()
        usable = len(self.data) // 4 * 4
        return array.array("f", bytes(self.data[:usable])), self.chunks


def handed_over_at(chunks, n):
    """When the recording program got frame n: the first chunk that held it."""
    lo, hi = 0, len(chunks) - 1
    while lo < hi:
        mid = (lo + hi) // 2
        if chunks[mid][1] > n:
            hi = mid
        else:
            lo = mid + 1
    return chunks[lo][0] if chunks and chunks[lo][1] > n else None


def frame_at(chunks, t):
    """The first frame handed over at or after time t."""
    for ct, frames in chunks:
        if ct >= t:
            return frames
    return None


def find_click(x, start, end, shape):
    """The onset of the click in x[start:end]: the loudest stretch, refined by
    cross-correlation with the click's shape."""
    end = min(end, len(x) - CLICK)
    if end <= start:
        return None
    peak = max(range(start, end), key=lambda i: abs(x[i]))
    if abs(x[peak]) < 0.02:
        return None
    best, best_at = -1.0, None
    for lag in range(max(start, peak - 2 * CLICK), min(end, peak + CLICK)):
        c = sum(x[lag + i] * shape[i] for i in range(0, CLICK, 2))
        if c > best:
            best, best_at = c, lag
    return best_at


def click_delay(x, chunks, c, shape):
    """The delay in ms of the click that entered at c (µs), or None when it is not found."""
    start = frame_at(chunks, c)
    if start is None:
        return None
    n = find_click(x, max(0, start - RATE // 10), start + RATE * 6 // 10, shape)
    t = handed_over_at(chunks, n) if n is not None else None
    return None if t is None else (t - c) / 1000


def delays(x, chunks, clicks, shape, since, until):
    """Delay of every click written between since and until, in ms, with its time."""
    found = ((c, click_delay(x, chunks, c, shape)) for c in clicks if since <= c <= until)
    return [(c, d) for c, d in found if d is not None]


def summary(points):
    ms = sorted(d for _, d in points)
    if not ms:
        return {"clicks": 0}
    first = [d for c, d in points if c - points[0][0] < 60e6]
    last = [d for c, d in points if points[-1][0] - c < 60e6]
    return {"clicks": len(ms), "median": trace_join.median(ms), "p90": trace_join.quantile(ms, 0.9),
            "first_minute": trace_join.median(sorted(first)), "last_minute": trace_join.median(sorted(last))}


class Stack:
    """The engine, the microphone and (when asked) the gateway, with the trace on."""

    def __init__(self, build, folder):
        self.env = dict(os.environ, SONVALE_TRACE=os.path.join(folder, "trace"), HOME=folder)
        self.libexec = os.path.join(build, "libexec/tarnwell")
        self.procs = []
        self.spawn([os.path.join(self.libexec, "sonvale-engine"), "--pin", PIN])
        self.spawn([os.path.join(self.libexec, "sonvale-mic")])
        deadline = time.time() + 30
        while DEVICE not in subprocess.run(["pactl", "list", "short", "sources"], capture_output=True,
                                           text=True).stdout:
            if time.time() > deadline:
                raise RuntimeError("the microphone did not appear")
            time.sleep(0.1)

    def start_gateway(self):
        web = self.spawn([os.path.join(self.libexec, "sonvale-web")], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        web.stdin.write(f"{PIN}\n".encode())
        web.stdin.flush()
        for line in web.stdout:
            if b'"event":"ready"' in line:
                break
        threading.Thread(target=web.stdout.read, daemon=True).start()

    def spawn(self, argv, **kw):
        p = subprocess.Popen(argv, env=self.env, stderr=subprocess.DEVNULL, **({"stdout": subprocess.DEVNULL} | kw))
        self.procs.append(p)
        return p

    def stop(self):
        for p in reversed(self.procs):
            p.terminate()
            p.wait()


def browser_run(root, name, setting, seconds, source, shape, log):
    recorder = Recorder()
    time.sleep(1)
    node = subprocess.Popen(["node", os.path.join(root, "bench/browser_phone.mjs"), root,
                             f"https://127.0.0.1:47812/#pin={PIN}", str(setting), str(seconds)],
                            stdout=subprocess.PIPE, text=True)
    since = until = None
    for line in node.stdout:
        log(f"{name}: {line.strip()[:200]}")
        if line.startswith("streaming"):
            since = now_us() + 2_000_000  # past the start
        elif line.startswith("stats"):
            until = now_us()
    node.wait()
    x, chunks = recorder.stop()
    if since is None or until is None:
        return {"error": "the page did not stream"}, None
    return summary(delays(x, chunks, source.clicks, shape, since, until)), (since, until)


def click_file(path, seconds, shape):
    frames = array.array("h", [0] * (RATE * seconds))
    for k in range(seconds):
        for i in range(CLICK):
            frames[k * RATE + RATE // 2 + i] = int(shape[i] * 32767)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(frames.tobytes())


OPUS_LOOKAHEAD = 312  # the encoder's look-ahead at 48 kHz: where a click lands in the decoded stream


def native_run(build, folder, seconds, shape):
    path = os.path.join(folder, "clicks.wav")
    click_file(path, seconds, shape)
    trace = os.path.join(folder, "trace.engine")
    before = os.path.getsize(trace) if os.path.exists(trace) else 0
    recorder = Recorder()
    time.sleep(1)
    started = now_us()
    subprocess.run([os.path.join(build, "bin/sonvale-phone"), "--pin", PIN, path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    x, chunks = recorder.stop()
    print(f"native: {len(x)} frames recorded, peak {max(map(abs, x), default=0):.3f}", file=sys.stderr)
    time.sleep(0.3)  # the engine's trace is written every 100 ms
    with open(trace) as f:
        f.seek(before)
        # Lines of an earlier stream may be written late, with the first of this one.
        rings = [o for o in map(json.loads, filter(str.strip, f)) if o["t"] >= started]
    if not rings:
        return {"error": "no ring lines in the engine's trace"}
    first = rings[0]["frame"]
    points = []
    for k in range(2, seconds):
        frame = first + k * RATE + RATE // 2 + OPUS_LOOKAHEAD
        carrier = next((r for r in rings if r["frame"] <= frame < r["frame"] + 960), None)
        if carrier is None:
            continue
        d = click_delay(x, chunks, carrier["t"], shape)
        if d is not None:
            points.append((carrier["t"], d))
    return summary(points)


def tone_frequency(x, start, count):
    """Frequency from the first and last rising zero crossings (interpolated)."""
    crossings = []
    for i in range(start + 1, start + count):
        if x[i - 1] < 0 <= x[i]:
            crossings.append(i - 1 + x[i - 1] / (x[i - 1] - x[i]))
    if len(crossings) < 2:
        return None
    return (len(crossings) - 1) * RATE / (crossings[-1] - crossings[0])


def dropouts(x, start, end):
    """Stretches of silence longer than 2 ms (a stalled sender): (first, last) frames."""
    out, quiet_from = [], None
    for i in range(start, min(end, len(x))):
        if abs(x[i]) < 0.05:
            quiet_from = i if quiet_from is None else quiet_from
        else:
            if quiet_from is not None and i - quiet_from > RATE // 500:
                out.append((quiet_from, i))
            quiet_from = None
    return out


def midstream_run(build, trials):
    """The worst 0.5 s window of each trial; windows holding a dropout (the sender
    stalled, so the ring ran dry) or within a second after one, while the burst that
    follows is cut, say nothing about the opening and are counted apart."""
    worst, excluded = [], 0
    for _ in range(trials):
        phone = subprocess.Popen([os.path.join(build, "bin/sonvale-phone"), "--pin", PIN, "--tone", "1000",
                                  "--level", "-6", "--duration", "26"], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        time.sleep(20)
        recorder = Recorder()
        time.sleep(4)
        x, _ = recorder.stop()
        phone.wait()
        onset = next((i for i, v in enumerate(x) if abs(v) > 0.05), None)
        if onset is None:
            continue
        gaps = dropouts(x, onset, onset + 3 * RATE + RATE // 2)
        errors = []
        for w in range(26):
            first = onset + w * RATE // 10
            last = first + RATE // 2
            if last > len(x):
                break
            if any(a < last and b + RATE > first for a, b in gaps):  # holds one, or recovers from it
                excluded += 1
                continue
            f = tone_frequency(x, first, RATE // 2)
            if f:
                errors.append(abs(f / 1000 - 1) * 100)
        if errors:
            worst.append(max(errors))
        time.sleep(2)
    return {"trials": len(worst), "worst_window_percent": worst, "windows_with_dropout": excluded}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--minutes", type=float, default=float(os.environ.get("BENCH_MINUTES", "0.5")),
                        help="streaming time per setting (BENCH_MINUTES; 10 for the drift check)")
    parser.add_argument("--trials", type=int, default=3, help="mid-stream opens")
    parser.add_argument("--keep", action="store_true", help="keep the folder with the trace (printed)")
    args = parser.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.abspath(args.build)
    folder = tempfile.mkdtemp(prefix="sonvale-e2e-")
    log = lambda line: print(line, file=sys.stderr, flush=True)  # noqa: E731
    log(f"folder {folder}")
    shape = click_shape()
    server = SoundServer(root, folder)
    load = lambda: open("/proc/loadavg").read().split()[0]  # noqa: E731
    result = {"minutes": args.minutes, "mic_target_ms": 30, "settings": {}, "load_before": load()}
    source = stack = None
    try:
        source = ClickSource(server, folder)
        stack = Stack(build, folder)
        seconds = max(10, int(args.minutes * 60))
        log("== native sender")
        result["native"] = native_run(build, folder, seconds, shape)
        log("== mid-stream open")
        result["midstream"] = midstream_run(build, args.trials)
        web = os.path.exists(os.path.join(build, "libexec/tarnwell/sonvale-web"))
        if web and shutil.which("node") and os.path.exists("/usr/bin/chromium"):
            stack.start_gateway()
            for name, setting in SETTINGS:
                log(f"== {name}: {seconds} s")
                result["settings"][name], window = browser_run(root, name, setting, seconds, source, shape, log)
                if window:
                    time.sleep(0.3)
                    result["settings"][name]["legs"] = trace_join.legs(os.path.join(folder, "trace"), *window)
                time.sleep(2)
    finally:
        if stack:
            stack.stop()
        if source:
            source.stop()
        server.stop()
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
    result["load_after"] = load()
    print(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
