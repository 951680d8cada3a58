// A phone's browser in miniature for the page's session: a clock that moves
// only when told, sockets, POSTs, a microphone and an audio context, each doing
// only what the tests ask of it.
import { Session, T, message } from '../../../web/page/session.js';

export const settle = async () => {
  for (let i = 0; i < 10; i++) await new Promise(setImmediate);
};

// Timers fire in order of due time, each followed by whatever async work it started.
class Clock {
  t = 0;
  timers = new Map();
  last = 0;
  setTimeout = (f, ms, every = 0) => (this.timers.set(++this.last, { at: this.t + ms, f, every }), this.last);
  setInterval = (f, ms) => this.setTimeout(f, ms, ms);
  clear = (id) => this.timers.delete(id);
  async tick(ms) {
    for (const end = this.t + ms; ; ) {
      const [id, timer] = [...this.timers].sort((a, b) => a[1].at - b[1].at)[0] ?? [];
      if (!timer || timer.at > end) return void (this.t = end);
      this.t = timer.at;
      timer.every ? (timer.at += timer.every) : this.timers.delete(id);
      timer.f();
      await settle();
    }
  }
}

// A message whose body is its arguments: numbers as bytes, strings as UTF-8.
export const bytesOf = (type, ...parts) =>
  message(type, new Uint8Array(parts.flatMap((p) => (typeof p === 'string' ? [...new TextEncoder().encode(p)] : [p]))));
export const welcome = bytesOf(T.welcome, 'Desk');

export function phone(over = {}, store = new Map()) {
  const clock = new Clock();
  const w = { sockets: [], posts: [], tracks: [], contexts: [], views: [], locks: [], clock };
  w.mic = async () => {
    const t = { readyState: 'live', muted: false, stop: () => (t.readyState = 'ended') };
    w.tracks.push(t);
    return { getTracks: () => [t], getAudioTracks: () => [t] };
  };
  w.env = {
    WebSocket: function () {
      const ws = { sent: [], readyState: 0, send: (b) => ws.sent.push(b), close: () => (ws.readyState = 3) };
      ws.open = () => ((ws.readyState = 1), ws.onopen?.());
      ws.drop = () => ((ws.readyState = 3), ws.onclose?.());
      ws.receive = (bytes) => ws.onmessage?.({ data: bytes.slice().buffer });
      return w.sockets[w.sockets.push(ws) - 1];
    },
    fetch: (url, init) =>
      new Promise((resolve) => {
        const fail = () => resolve({ ok: false });
        const answer = (bytes, token) =>
          resolve({ ok: true, headers: { get: () => token }, arrayBuffer: async () => bytes.slice().buffer });
        w.posts.push({ init, answer, fail });
      }),
    AudioContext: function (options) {
      const ctx = { options, state: 'running', sampleRate: 44100, audioWorklet: { addModule: async () => {} } };
      ctx.resume = async () => (ctx.state = 'running');
      ctx.close = async () => (ctx.state = 'closed');
      ctx.createMediaStreamSource = () => ({ connect() {} });
      return w.contexts[w.contexts.push(ctx) - 1];
    },
    AudioWorkletNode: function (ctx, name, options) {
      return (w.node = { options, port: {}, connect() {}, disconnect() {} });
    },
    mediaDevices: { getUserMedia: () => w.mic() },
    secure: true,
    wakeLock: { request: async () => w.locks[w.locks.push({ release() { this.released = true; } }) - 1] },
    storage: { getItem: (k) => store.get(k) ?? null, setItem: (k, v) => store.set(k, v), removeItem: (k) => store.delete(k) },
    get keep() { return this.storage; },
    random: (n) => crypto.getRandomValues(new Uint8Array(n)),
    ...{ setTimeout: clock.setTimeout, clearTimeout: clock.clear, setInterval: clock.setInterval, clearInterval: clock.clear },
    now: () => clock.t,
    hidden: () => Boolean(w.hidden),
    level: () => {},
    render: (view) => w.views.push(view),
    ...over,
  };
  w.session = new Session(w.env);
  w.text = () => w.views.findLast((v) => v.text !== undefined)?.text;
  // A chunk whose first sample the audio context took at sourceMs (by default 20 ms ago).
  w.chunk = (sourceMs = clock.t - 20) => w.node.port.onmessage({ data: { samples: new Float32Array(960), time: sourceMs / 1000 } });
  // What is still running of the microphone, the audio, the sockets, the timers and the wake lock.
  w.leftovers = () =>
    [
      w.contexts.some((c) => c.state !== 'closed') && 'audio',
      w.tracks.some((t) => t.readyState !== 'ended') && 'microphone',
      w.sockets.some((s) => s.readyState !== 3) && 'socket',
      clock.timers.size > 0 && 'timer',
      w.locks.some((l) => !l.released) && 'wake lock',
    ].filter(Boolean);
  return w;
}

// A phone brought to the state through the ordinary events.
export async function reach(state, over, store) {
  const w = phone(over, store);
  const mic = w.mic;
  if (state === 'asking') w.mic = () => new Promise((granted) => (w.grant = () => granted(mic())));
  w.session.start('1234', 1);
  await settle();
  if (state === 'asking' || state === 'connecting') return w;
  w.sockets[0].open();
  w.sockets[0].receive(welcome);
  await settle();
  if (state === 'paused') w.tracks[0].onmute();
  if (state === 'reconnecting') w.sockets[0].drop();
  return w;
}
