// A phone's browser in miniature for the page's session: a clock that moves
// only when told, sockets, POSTs, a microphone and an audio context that the
// test drives by hand.
import { Session, T, message } from '../../../web/page/session.js';

export const settle = async () => {
  for (let i = 0; i < 10; i++) await new Promise((done) => setImmediate(done));
};

class Clock {
  t = 0;
  timers = new Map();
  last = 0;
  setTimeout = (f, ms) => this.add(f, ms, 0);
  setInterval = (f, ms) => this.add(f, ms, ms);
  clear = (id) => this.timers.delete(id);
  add(f, ms, every) {
    this.timers.set(++this.last, { at: this.t + ms, f, every });
    return this.last;
  }
  async tick(ms) {
    const end = this.t + ms;
    for (;;) {
      const [id, timer] = [...this.timers].sort((a, b) => a[1].at - b[1].at)[0] ?? [];
      if (!timer || timer.at > end) break;
      this.t = timer.at;
      if (timer.every) timer.at += timer.every;
      else this.timers.delete(id);
      timer.f();
      await settle();
    }
    this.t = end;
  }
}

export const bytesOf = (type, code, text = '') =>
  message(type, new Uint8Array([...(code === undefined ? [] : [code]), ...new TextEncoder().encode(text)]));
export const welcome = message(T.welcome, new TextEncoder().encode('Desk'));

export function phone(over = {}, store = new Map()) {
  const w = { sockets: [], posts: [], tracks: [], contexts: [], views: [], locks: [], clock: new Clock(), store };
  w.mic = async () => {
    const t = { readyState: 'live', muted: false, stop() { this.readyState = 'ended'; } };
    w.tracks.push(t);
    return { getTracks: () => [t], getAudioTracks: () => [t] };
  };
  const answer = (bytes, token) => ({
    ok: true,
    headers: { get: (name) => (name === 'X-Session' ? token : null) },
    arrayBuffer: async () => bytes.slice().buffer,
  });
  w.env = {
    WebSocket: function (url) {
      const ws = { url, sent: [], readyState: 0, send: (b) => ws.sent.push(b), close: () => (ws.readyState = 3) };
      Object.assign(ws, {
        open: () => ((ws.readyState = 1), ws.onopen?.()),
        drop: () => ((ws.readyState = 3), ws.onclose?.()),
        receive: (bytes) => ws.onmessage?.({ data: bytes.slice().buffer }),
      });
      w.sockets.push(ws);
      return ws;
    },
    fetch: (url, init) =>
      new Promise((resolve) =>
        w.posts.push({ init, answer: (bytes, token) => resolve(answer(bytes, token)), fail: () => resolve({ ok: false }) }),
      ),
    AudioContext: class {
      state = 'running';
      sampleRate = 44100;
      audioWorklet = { addModule: async () => {} };
      constructor(options) {
        this.options = options;
        w.contexts.push(this);
      }
      resume = async () => {
        if (this.state === 'closed') throw new Error('closed');
        this.state = 'running';
      };
      close = async () => (this.state = 'closed');
      createMediaStreamSource = () => ({ connect() {} });
    },
    AudioWorkletNode: function (ctx, name, options) {
      w.node = { options, port: {}, connect() {}, disconnect() {} };
      return w.node;
    },
    mediaDevices: { getUserMedia: () => w.mic() },
    secure: true,
    wakeLock: { request: async () => w.locks[w.locks.push({ release() { this.released = true; } }) - 1] },
    storage: { getItem: (k) => store.get(k) ?? null, setItem: (k, v) => store.set(k, v), removeItem: (k) => store.delete(k) },
    get keep() { return this.storage; },
    random: (n) => crypto.getRandomValues(new Uint8Array(n)),
    setTimeout: w.clock.setTimeout,
    clearTimeout: w.clock.clear,
    setInterval: w.clock.setInterval,
    clearInterval: w.clock.clear,
    now: () => w.clock.t,
    hidden: () => Boolean(w.hidden),
    level: () => {},
    render: (view) => w.views.push(view),
    ...over,
  };
  w.session = new Session(w.env);
  w.text = () => w.views.findLast((v) => v.text !== undefined)?.text;
  w.chunk = () => w.node.port.onmessage({ data: new Float32Array(960) });
  return w;
}

// Brings a phone to the state through the ordinary events.
export async function reach(w, state) {
  if (state === 'asking') {
    w.mic = () => new Promise((granted) => (w.grant = granted));
    w.session.start('1234', 1);
    return settle();
  }
  w.session.start('1234', 1);
  await settle();
  if (state === 'connecting') return;
  w.sockets[0].open();
  w.sockets[0].receive(welcome);
  await settle();
  if (state === 'paused') w.tracks[0].onmute();
  if (state === 'reconnecting') w.sockets[0].drop();
}
