// The page's whole logic, apart from the DOM: one state machine that owns the
// microphone, one transport at a time, the timers and the wake lock. Every
// effect comes in through `env`, so node tests drive it with fakes.
//
// A storm cannot start: a transport is opened only on Start, after a retry
// timer (at least 500 ms, doubling to 10 s, of which one runs at a time), or
// once per page session when the WebSocket fails before it opens and POST
// takes over for good. Callbacks from any transport but the current one are
// ignored.

import { CaptureClock, readTrack } from './capture.js';

export const T = { hello: 1, audio: 2, mode: 3, stop: 4, ping: 5, stamp: 6, welcome: 0x81, notice: 0x82, error: 0x83, token: 0x84, pong: 0x85, stats: 0x86 };
// The gateway's table (protocol/page_message.h); page_message_test holds them equal.
const ERROR = { wrongPin: 1, silent: 7, unknownToken: 10 };
const CODEC = { opus: 1, pcm: 2 };
const WS_OPEN_MS = 3000;
const PING_MS = 1000;
const PONG_LOST_MS = 3000;
const STEADY_MS = 10000; // a stream that held this long starts the backoff afresh
const POST_IN_FLIGHT = 3;
const PAGE_ID_KEY = 'sonvale-page-id';
const TOKEN_KEY = 'sonvale-token'; // in env.keep (localStorage): the phone stays paired
const TOKEN_BYTES = 32;
// The oldest a chunk may be when it is encoded, by latency choice (ms): older
// ones were queued behind a stall and are dropped, so the delay comes back down.
export const MAX_AGE_MS = [100, 150, 300];
const MAX_BUFFERED = 16384; // bytes the WebSocket may hold unsent
const MAX_ENCODING = 3; // chunks waiting in the encoder
const LAGGING_CHUNKS = 250; // 5 s late in a row: the capture itself lags, and is opened afresh

export const SAY = {
  asking: 'Asking for the microphone…',
  connecting: 'Connecting…',
  streaming: 'Streaming. The computer hears this phone.',
  stopped: 'Stopped. Tap Start to stream again.',
  pin: 'Type the PIN shown on the computer, then tap Start.',
  refused: 'The browser did not allow the microphone. Allow it for this page, then tap Start again.',
  noMic: 'This phone has no microphone the browser can use.',
  micFailing: 'The microphone is busy or failing. Close other apps that use it, then tap Start again.',
  unsupported: 'This browser cannot lend the page its microphone here. Open the link in an up-to-date browser.',
  muted: 'The phone took the microphone away (a call or another app). Streaming goes on when it gives it back.',
  suspended: 'The browser keeps the microphone paused. If this stays, tap Stop, then Start.',
  retaking: 'The microphone stopped. Taking it again…',
  back: 'The browser paused this page while it was hidden, so the computer heard nothing meanwhile. Streaming again.',
};

// The moves each event makes; an event not listed for a state is ignored.
const moves = {
  idle: { start: 'asking' },
  asking: { granted: 'connecting', fail: 'error', stop: 'stopped' },
  connecting: { welcome: 'streaming', drop: 'reconnecting', fail: 'error', stop: 'stopped' },
  streaming: { pause: 'paused', drop: 'reconnecting', fail: 'error', stop: 'stopped' },
  paused: { resume: 'streaming', drop: 'reconnecting', fail: 'error', stop: 'stopped' },
  reconnecting: { retry: 'connecting', fail: 'error', stop: 'stopped' },
  stopped: { start: 'asking' },
  error: { start: 'asking' },
};

export function transition(state, event) {
  return moves[state][event] ?? null;
}

export function message(type, body = new Uint8Array(0)) {
  const out = new Uint8Array(3 + body.length);
  out.set([type, body.length & 0xff, body.length >> 8]);
  out.set(body, 3);
  return out;
}

// A chunk as one transport unit: its capture time (page ms) in a Stamp, then the Audio.
export function stamped(captureMs, bytes) {
  const time = new Uint8Array(8);
  new DataView(time.buffer).setFloat64(0, captureMs, true);
  const stamp = message(T.stamp, time);
  const out = new Uint8Array(stamp.length + 3 + bytes.length);
  out.set(stamp);
  out.set(message(T.audio, bytes), stamp.length);
  return out;
}

export function* messages(bytes) {
  for (let at = 0; at + 3 <= bytes.length; ) {
    const length = bytes[at + 1] | (bytes[at + 2] << 8);
    yield { type: bytes[at], body: bytes.subarray(at + 3, at + 3 + length) };
    at += 3 + length;
  }
}

export function micSentence(error) {
  const name = error?.name;
  if (name === 'NotAllowedError' || name === 'SecurityError') return SAY.refused;
  if (name === 'NotFoundError' || name === 'OverconstrainedError') return SAY.noMic;
  return SAY.micFailing;
}

// Kept for the tab's life, so a reload is the same phone and takes its stream back.
function pageIdFrom(storage, random) {
  const kept = storage?.getItem(PAGE_ID_KEY) ?? '';
  if (/^[0-9a-f]{16}$/.test(kept)) return unhex(kept);
  const id = random(8);
  try {
    storage?.setItem(PAGE_ID_KEY, hex(id));
  } catch {
    // Private modes may refuse storage; the id then lasts until reload.
  }
  return id;
}

const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
const unhex = (text) => Uint8Array.from(text.match(/../g), (h) => parseInt(h, 16));

function keptToken(keep) {
  try {
    const kept = keep?.getItem(TOKEN_KEY) ?? '';
    return new RegExp(`^[0-9a-f]{${2 * TOKEN_BYTES}}$`).test(kept) ? unhex(kept) : null;
  } catch {
    return null;
  }
}

// True when the token is kept for the next visit.
function keepToken(keep, token) {
  try {
    if (token) keep?.setItem(TOKEN_KEY, hex(token));
    else keep?.removeItem(TOKEN_KEY);
    return Boolean(keep && token);
  } catch {
    return false; // storage refused: the phone pairs with the PIN next time
  }
}

function pcmEncoder(send) {
  return {
    codec: 'pcm',
    encode(samples, captureMs) {
      const pcm = new Int16Array(samples.length);
      for (let i = 0; i < samples.length; i++) pcm[i] = Math.max(-32768, Math.min(32767, Math.round(samples[i] * 32767)));
      send(new Uint8Array(pcm.buffer), captureMs);
    },
    close() {},
  };
}

const quietly = (promise) => promise?.catch?.(() => {});

// Calls every step even when one throws.
function all(...steps) {
  for (const step of steps) {
    try {
      step();
    } catch {
      // Whatever one step left behind, the others still end theirs.
    }
  }
}

class SocketWay {
  constructor(env, events) {
    this.name = 'websocket';
    this.env = env;
    this.events = events;
  }
  open() {
    try {
      this.ws = new this.env.WebSocket(`wss://${this.env.host}/stream`);
    } catch {
      return this.down(true);
    }
    this.ws.binaryType = 'arraybuffer';
    this.timer = this.env.setTimeout(() => this.down(true), WS_OPEN_MS);
    this.ws.onopen = () => {
      this.env.clearTimeout(this.timer);
      this.opened = true;
      this.events.opened(this);
    };
    this.ws.onmessage = (e) => this.events.bytes(this, new Uint8Array(e.data));
    this.ws.onclose = () => this.down(!this.opened);
  }
  down(early) {
    if (this.closed) return;
    this.close();
    this.events.down(this, early);
  }
  send(bytes) {
    if (this.ws?.readyState === 1) this.ws.send(bytes);
  }
  backlog() {
    return this.ws?.bufferedAmount ?? 0;
  }
  close() {
    this.closed = true;
    this.env.clearTimeout(this.timer);
    if (!this.ws) return;
    this.ws.onopen = this.ws.onmessage = this.ws.onclose = null;
    all(() => this.ws.close());
  }
}

// Same-origin requests: the Hello alone first, as a POST (its answer names the
// session), then every message as soon as it is queued, up to three requests in
// flight, each numbered (X-Seq) so the gateway reads them in order and drops a
// repeat. Numbered requests go as PUT: WebKit reuses a kept-alive connection for
// an idempotent method only, and a fresh TLS handshake per 20 ms chunk stutters.
class PostWay {
  constructor(env, events) {
    this.name = 'post';
    this.env = env;
    this.events = events;
    this.queue = [];
    this.token = '';
    this.seq = 0;
    this.inFlight = 0;
  }
  open() {
    this.events.opened(this);
  }
  send(bytes) {
    this.queue.push(bytes);
    this.pump();
  }
  pump() {
    const limit = this.token ? POST_IN_FLIGHT : 1;
    if (!this.closed && this.queue.length && this.inFlight < limit) this.post();
  }
  request() {
    const body = new Uint8Array(this.queue.reduce((n, b) => n + b.length, 0));
    let at = 0;
    for (const b of this.queue.splice(0)) body.set(b, at), (at += b.length);
    const headers = {};
    if (this.token) {
      this.seq = (this.seq + 1) >>> 0;
      Object.assign(headers, { 'X-Session': this.token, 'X-Seq': String(this.seq) });
    }
    const method = this.token ? 'PUT' : 'POST';
    return this.env.fetch('/stream', { method, body, headers, cache: 'no-store' });
  }
  async post() {
    const named = Boolean(this.token);
    this.inFlight++;
    try {
      const answer = await this.request();
      if (!answer.ok) throw new Error(`answer ${answer.status}`);
      const bytes = new Uint8Array(await answer.arrayBuffer());
      if (this.closed) return;
      this.token ||= answer.headers.get('X-Session') ?? '';
      this.inFlight--;
      this.events.bytes(this, bytes);
      if (!named && !this.token && !this.closed) throw new Error('no session');
      this.pump();
    } catch {
      if (this.closed) return;
      this.close();
      this.events.down(this, false);
    }
  }
  close() {
    // What is queued (a Stop) still goes, with no one waiting for its answer.
    if (!this.closed && this.token && this.queue.length) this.request().catch(() => {});
    this.closed = true;
  }
}

// The computer's Stats message as one short line; '' when it cannot be read.
export function diagnosticsText(body) {
  let s;
  try {
    s = JSON.parse(new TextDecoder().decode(body));
  } catch {
    return '';
  }
  const ms = (value) => `${Math.round(value ?? 0)} ms`;
  const parts = [`Gaps ${s.perSecond?.concealed ?? 0}/s (${s.concealed ?? 0} in all)`, `Jitter ${ms(s.jitterMs)}`];
  if (s.roundTripMs !== undefined) parts.push(`Round trip ${ms(s.roundTripMs)}`);
  parts.push(`Delay ${ms(s.depthMs)}`);
  return parts.join(' · ');
}

export class Session {
  constructor(env) {
    this.env = env;
    this.state = 'idle';
    this.pageId = pageIdFrom(env.storage, env.random);
    this.token = keptToken(env.keep);
    this.stats = { transport: '', codec: '', chunks: 0, dropped: 0, rttMs: [], sockets: 0, welcomes: 0 };
    this.lateInRow = 0;
    this.usePost = env.forcedTransport === 'post' || !env.WebSocket;
    this.run = 0; // bumped by Stop and failures: async work of an older run undoes itself
    this.retries = 0;
    this.way = null;
    this.audio = null;
    this.lock = null;
  }

  // Paired before: Start needs no PIN.
  get paired() {
    return Boolean(this.token);
  }

  get active() {
    return !['idle', 'stopped', 'error'].includes(this.state);
  }

  go(event, text, extra = {}) {
    const next = transition(this.state, event);
    if (!next) return false;
    this.state = next;
    this.env.render({ state: next, text, ...extra });
    return true;
  }

  say(text) {
    this.env.render({ state: this.state, text });
  }

  async start(pin, mode) {
    if (!pin && !this.token) return this.env.render({ state: this.state, text: SAY.pin, pinWanted: true });
    if (!this.go('start', SAY.asking)) return;
    Object.assign(this, { pin, mode });
    const run = ++this.run;
    let audio;
    try {
      audio = await this.openAudio();
    } catch (e) {
      if (run === this.run) this.fail(e?.sentence ?? micSentence(e));
      return;
    }
    if (run !== this.run) return audio.close();
    this.audio = audio;
    if (this.go('granted', SAY.connecting)) this.connect();
  }

  stop() {
    this.way?.send(message(T.stop));
    this.end();
    this.go('stop', SAY.stopped);
  }

  fail(text, extra) {
    if (!transition(this.state, 'fail')) return;
    this.end();
    this.go('fail', text, extra);
  }

  // Ends the microphone, the transport, the timers and the wake lock, whatever the state.
  end() {
    this.run++;
    const { audio, lock } = this;
    this.audio = this.lock = null;
    all(
      () => this.env.clearTimeout(this.retryTimer),
      () => this.env.clearInterval(this.pingTimer),
      () => this.dropWay(),
      () => audio?.close(),
      () => quietly(this.opening?.close()), // a prompt still open: what it grants finds the context gone
      () => quietly(lock?.release()),
      () => this.env.level(0),
    );
  }

  setMode(mode) {
    this.mode = mode;
    this.way?.send(message(T.mode, new Uint8Array([mode])));
  }

  // --- the microphone

  async openAudio() {
    const { env } = this;
    // Where the browser can, the track is read directly: an audio context's
    // clock follows the output device, and each output stall leaves the
    // captured audio queued behind it for good.
    const direct = Boolean(env.MediaStreamTrackProcessor);
    if (!env.secure || !env.mediaDevices?.getUserMedia || (!direct && (!env.AudioContext || !env.AudioWorkletNode))) {
      throw { sentence: SAY.unsupported };
    }
    // Made at the device's own rate (a mic at another rate may not connect);
    // the worklet brings it to 48 kHz.
    const ctx = direct ? null : (this.opening = new env.AudioContext({ latencyHint: 'interactive', sinkId: { type: 'none' } }));
    let stream, encoder, source, audio;
    try {
      stream = await env.mediaDevices.getUserMedia({
        audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false },
      });
      const [track] = stream.getAudioTracks();
      const clock = new CaptureClock();
      const deliver = (samples, sourceMs) => audio && this.onChunk(audio, samples, clock.toPage(sourceMs, env.now()));
      source = direct ? readTrack(env.MediaStreamTrackProcessor, track, deliver) : await this.worklet(ctx, stream, deliver);
      const send = (bytes, captureMs) => this.sendAudio(bytes, captureMs);
      encoder = (await env.opusEncoder?.(send)) ?? pcmEncoder(send);
      this.stats.codec = encoder.codec;
      this.stats.capture = direct ? 'track' : 'worklet';
      audio = {
        ctx,
        track,
        encoder,
        live: () => (!ctx || ctx.state === 'running') && track.readyState !== 'ended' && !track.muted,
        close: () => all(() => source.stop(), () => stream.getTracks().forEach((t) => t.stop()),
                         () => encoder.close(), () => ctx && quietly(ctx.close())),
      };
      track.onended = () => audio === this.audio && this.micEnded();
      track.onmute = () => audio === this.audio && this.go('pause', SAY.muted);
      track.onunmute = () => audio === this.audio && this.micBack(SAY.streaming);
      if (ctx) {
        ctx.onstatechange = () => {
          if (audio !== this.audio) return;
          if (ctx.state === 'running') this.micBack(SAY.streaming);
          else this.go('pause', SAY.suspended);
        };
      }
      this.opening = null;
      return audio;
    } catch (e) {
      all(() => source?.stop(), () => stream?.getTracks().forEach((t) => t.stop()), () => encoder?.close(),
          () => ctx && quietly(ctx.close()));
      this.opening = null;
      throw e;
    }
  }

  async worklet(ctx, stream, deliver) {
    // Not awaited: a context that cannot start yet would hold the page
    // here; its state change tells when it runs.
    quietly(ctx.resume());
    await ctx.audioWorklet.addModule('/capture.js');
    const node = new this.env.AudioWorkletNode(ctx, 'capture', {
      numberOfInputs: 1,
      numberOfOutputs: 1,
      processorOptions: { rate: ctx.sampleRate },
    });
    ctx.createMediaStreamSource(stream).connect(node);
    node.connect(ctx.destination); // pulls the node; it writes silence
    node.port.onmessage = (e) => deliver(e.data.samples, e.data.time * 1000);
    return { stop: () => node.disconnect() };
  }

  onChunk(audio, samples, captureMs) {
    let peak = 0;
    for (const s of samples) peak = Math.max(peak, Math.abs(s));
    this.env.level(Math.max(0, Math.min(1, (20 * Math.log10(peak + 1e-9) + 60) / 60)));
    if (this.state !== 'streaming' || audio !== this.audio) return;
    // No queue may grow: what is late or has no room goes, counted.
    const late = this.env.now() - captureMs > MAX_AGE_MS[this.mode];
    if (late || this.way?.backlog?.() > MAX_BUFFERED || audio.encoder.queued?.() > MAX_ENCODING) {
      this.stats.dropped++;
      this.lateInRow = late ? this.lateInRow + 1 : 0;
      if (this.lateInRow === LAGGING_CHUNKS) this.retakeMic();
      return;
    }
    this.lateInRow = 0;
    audio.encoder.encode(samples, captureMs);
  }

  sendAudio(bytes, captureMs) {
    if (this.state !== 'streaming' || !this.way) return;
    this.way.send(stamped(captureMs, bytes));
    this.stats.chunks++;
  }

  micBack(text) {
    if (this.audio?.live()) this.go('resume', text);
  }

  async micEnded() {
    if (this.env.hidden()) return this.go('pause', SAY.retaking); // taken again when visible
    await this.retakeMic();
  }

  async retakeMic() {
    if (this.retaking) return;
    this.retaking = true;
    if (!this.go('pause', SAY.retaking) && this.state === 'paused') this.say(SAY.retaking);
    const run = this.run;
    const old = this.audio;
    this.audio = null;
    all(() => old?.close());
    try {
      const audio = await this.openAudio();
      if (run !== this.run) return audio.close();
      this.audio = audio;
      this.micBack(SAY.streaming);
    } catch (e) {
      if (run === this.run) this.fail(e?.sentence ?? micSentence(e));
    } finally {
      this.retaking = false;
    }
  }

  hidden() {
    this.hiddenAt = this.env.now();
  }

  // Phones suspend a hidden page's audio and may end its track.
  async visible() {
    const { audio } = this;
    if (!audio || !this.active) return;
    this.holdScreen();
    const away = this.env.now() - (this.hiddenAt ?? this.env.now()) > 1500;
    if (audio.track.readyState === 'ended') return this.retakeMic();
    if (audio.ctx && audio.ctx.state !== 'running') await quietly(audio.ctx.resume());
    if (audio !== this.audio || !['streaming', 'paused'].includes(this.state)) return;
    if (audio.live()) {
      if (!this.go('resume', SAY.back) && away) this.say(SAY.back);
    } else {
      this.go('pause', SAY.suspended) || this.say(SAY.suspended);
    }
  }

  async holdScreen() {
    if (!this.env.wakeLock || this.lock || this.locking) return;
    this.locking = true;
    const run = this.run;
    try {
      const lock = await this.env.wakeLock.request('screen');
      // Stopped while asking: the lock goes straight back.
      if (run === this.run && this.active) this.lock = lock;
      else quietly(lock.release());
    } catch {
      // No wake lock (battery saver, hidden page): the stream goes on without it.
    } finally {
      this.locking = false;
    }
  }

  // --- the transport

  connect() {
    const events = {
      opened: (way) => this.opened(way),
      bytes: (way, bytes) => way === this.way && this.onBytes(bytes),
      down: (way, early) => way === this.way && this.down(way, early),
    };
    const way = this.usePost ? new PostWay(this.env, events) : new SocketWay(this.env, events);
    this.way = way;
    this.stats.transport = way.name;
    if (way.name === 'websocket') this.stats.sockets++;
    way.open();
  }

  opened(way) {
    if (way !== this.way) return way.close();
    way.send(message(T.hello, this.helloBody()));
    this.lastPong = this.env.now();
    this.pingTimer = this.env.setInterval(() => this.ping(), PING_MS);
  }

  ping() {
    if (this.env.now() - this.lastPong > PONG_LOST_MS) return this.dropped('The computer stopped answering.');
    // The latest round trip rides along (-1: none yet): the computer shows it, and
    // maps capture times onto its clock with the shortest of the last few.
    const body = new Uint8Array(16);
    new DataView(body.buffer).setFloat64(0, this.env.now(), true);
    new DataView(body.buffer).setFloat64(8, this.stats.rttMs[this.stats.rttMs.length - 1] ?? -1, true);
    this.way?.send(message(T.ping, body));
  }

  dropWay() {
    const way = this.way;
    this.way = null;
    this.env.clearInterval(this.pingTimer);
    way?.close();
  }

  down(way, early) {
    this.dropWay();
    if (early && way.name === 'websocket' && this.env.forcedTransport !== 'websocket') {
      this.usePost = true; // until reload
      return this.connect();
    }
    this.dropped('The connection dropped.');
  }

  dropped(reason) {
    if (!transition(this.state, 'drop')) return;
    this.dropWay();
    if (this.welcomedAt !== undefined && this.env.now() - this.welcomedAt >= STEADY_MS) this.retries = 0;
    this.welcomedAt = undefined;
    const delay = Math.min(10000, 500 * 2 ** this.retries);
    this.retries = Math.min(this.retries + 1, 5);
    this.go('drop', `${reason} Trying again in ${Math.ceil(delay / 1000)} s…`);
    this.env.clearTimeout(this.retryTimer);
    this.retryTimer = this.env.setTimeout(() => this.go('retry', SAY.connecting) && this.connect(), delay);
  }

  // Version 1 with the PIN; version 2 with the kept token instead, once paired.
  helloBody() {
    const codec = this.stats.codec === 'opus' ? CODEC.opus : CODEC.pcm;
    if (this.token) return Uint8Array.of(2, codec, this.mode, 0, this.token.length, ...this.token, ...this.pageId);
    const pin = new TextEncoder().encode(this.pin);
    return Uint8Array.of(1, codec, this.mode, pin.length, ...pin, ...this.pageId);
  }

  onBytes(bytes) {
    for (const { type, body } of messages(bytes)) {
      const sentence = new TextDecoder().decode(body.subarray(1));
      if (type === T.welcome) {
        this.stats.welcomes++;
        this.welcomedAt = this.env.now();
        this.env.render({ state: this.state, computer: new TextDecoder().decode(body) });
        if (!this.go('welcome', SAY.streaming)) continue;
        this.holdScreen();
        if (!this.audio?.live()) this.go('pause', SAY.suspended);
      } else if (type === T.notice && this.state === 'streaming') {
        this.say(body[0] === 1 ? SAY.streaming : sentence);
      } else if (type === T.error && body[0] === ERROR.silent) {
        this.dropped('The computer stopped hearing this phone.');
      } else if (type === T.token && body.length === TOKEN_BYTES) {
        this.token = body.slice();
        if (keepToken(this.env.keep, this.token)) this.env.render({ state: this.state, paired: true });
      } else if (type === T.error && body[0] === ERROR.unknownToken) {
        this.token = null;
        keepToken(this.env.keep, null);
        this.fail(sentence, { pinWanted: true });
      } else if (type === T.error) {
        this.fail(sentence, { pinWanted: body[0] === ERROR.wrongPin });
      } else if (type === T.stats) {
        this.env.render({ state: this.state, diagnostics: diagnosticsText(body) });
      } else if (type === T.pong) {
        this.lastPong = this.env.now();
        if (body.length >= 8) this.stats.rttMs.push(this.env.now() - new DataView(body.buffer, body.byteOffset).getFloat64(0, true));
      }
      if (!this.way) return; // the session ended on this message
    }
  }
}
