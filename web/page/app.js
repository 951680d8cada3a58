// The phone's side: capture, 20 ms chunks (Opus from WebCodecs where the browser
// has it, 16-bit PCM otherwise), sent over a WebSocket or, where the browser will
// not open one to this self-signed address, same-origin POST requests.
const T = { hello: 1, audio: 2, mode: 3, stop: 4, ping: 5, welcome: 0x81, notice: 0x82, error: 0x83, pong: 0x85 };
const ERROR_WRONG_PIN = 1;
const ERROR_SILENT = 7;
const WS_OPEN_MS = 3000;
const POST_EVERY_MS = 40;

const $ = (id) => document.getElementById(id);
const link = new URLSearchParams(location.hash.slice(1));
const forcedTransport = link.get('transport');
const forcedCodec = link.get('codec');
const pageId = crypto.getRandomValues(new Uint8Array(8));
const stats = (window.sonvaleStats = { transport: '', codec: '', chunks: 0, rttMs: [] });

function message(type, body = new Uint8Array(0)) {
  const out = new Uint8Array(3 + body.length);
  out[0] = type;
  out[1] = body.length & 0xff;
  out[2] = body.length >> 8;
  out.set(body, 3);
  return out;
}

function* messages(bytes) {
  for (let at = 0; at + 3 <= bytes.length; ) {
    const length = bytes[at + 1] | (bytes[at + 2] << 8);
    yield { type: bytes[at], body: bytes.subarray(at + 3, at + 3 + length) };
    at += 3 + length;
  }
}

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

class SocketWay {
  constructor(onBytes, onClosed) {
    this.name = 'websocket';
    this.onBytes = onBytes;
    this.onClosed = onClosed;
  }
  open() {
    return new Promise((done) => {
      const ws = (this.ws = new WebSocket(`wss://${location.host}/stream`));
      ws.binaryType = 'arraybuffer';
      const timer = setTimeout(() => done(false), WS_OPEN_MS);
      ws.onopen = () => { clearTimeout(timer); done(true); };
      ws.onmessage = (e) => this.onBytes(new Uint8Array(e.data));
      ws.onclose = () => { clearTimeout(timer); done(false); if (!this.closed) this.onClosed(); };
    });
  }
  send(bytes) {
    if (this.ws.readyState === WebSocket.OPEN) this.ws.send(bytes);
  }
  async close() {
    this.closed = true;
    this.ws.close();
  }
}

class PostWay {
  constructor(onBytes, onClosed) {
    this.name = 'post';
    this.onBytes = onBytes;
    this.onClosed = onClosed;
    this.queue = [];
    this.token = '';
  }
  async open() {
    this.running = this.run();
    return true;
  }
  send(bytes) {
    this.queue.push(bytes);
  }
  async flush() {
    const size = this.queue.reduce((n, b) => n + b.length, 0);
    const body = new Uint8Array(size);
    let at = 0;
    for (const b of this.queue.splice(0)) { body.set(b, at); at += b.length; }
    const headers = this.token ? { 'X-Session': this.token } : {};
    const answer = await fetch('/stream', { method: 'POST', body, headers, cache: 'no-store' });
    if (!answer.ok) throw new Error(`answer ${answer.status}`);
    this.token = answer.headers.get('X-Session') || this.token;
    this.onBytes(new Uint8Array(await answer.arrayBuffer()));
  }
  async run() {
    let last = 0;
    while (!this.closed) {
      await sleep(POST_EVERY_MS);
      if (this.queue.length === 0 && performance.now() - last < 1000) continue;
      try {
        await this.flush();
        last = performance.now();
      } catch {
        if (!this.closed) { this.closed = true; this.onClosed(); }
      }
    }
  }
  async close() {
    if (this.queue.length && !this.closed) await this.flush().catch(() => {});
    this.closed = true;
  }
}

let wanted = false;
let audio = null;
let way = null;
let streaming = false;
let retries = 0;
let retryTimer = 0;
let pingTimer = 0;
let wakeLock = null;
let hiddenAt = 0;

function show(text, state) {
  $('state').textContent = text;
  if (state) document.body.dataset.state = state;
  $('start').textContent = state === 'streaming' || state === 'connecting' ? 'Stop' : 'Start';
}

function latency() {
  return Number(document.querySelector('input[name=latency]:checked').value);
}

function pin() {
  return $('pin').value.trim() || link.get('pin') || '';
}

function helloBody(codec) {
  const pinBytes = new TextEncoder().encode(pin());
  const body = new Uint8Array(4 + pinBytes.length + pageId.length);
  body.set([1, codec === 'opus' ? 1 : 2, latency(), pinBytes.length]);
  body.set(pinBytes, 4);
  body.set(pageId, 4 + pinBytes.length);
  return body;
}

async function opusEncoder(onPacket) {
  const config = { codec: 'opus', sampleRate: 48000, numberOfChannels: 1, bitrate: 64000, opus: { frameDuration: 20000 } };
  if (forcedCodec === 'pcm' || typeof AudioEncoder === 'undefined') return null;
  try {
    if (!(await AudioEncoder.isConfigSupported(config)).supported) return null;
    const encoder = new AudioEncoder({
      output: (chunk) => { const b = new Uint8Array(chunk.byteLength); chunk.copyTo(b); onPacket(b); },
      error: () => {},
    });
    encoder.configure(config);
    return encoder;
  } catch {
    return null;
  }
}

function sendAudio(bytes) {
  if (!streaming || !way) return;
  way.send(message(T.audio, bytes));
  stats.chunks++;
}

let timestamp = 0;
function onChunk(samples) {
  let peak = 0;
  for (const s of samples) peak = Math.max(peak, Math.abs(s));
  const db = 20 * Math.log10(peak + 1e-9);
  $('level').style.width = `${Math.max(0, Math.min(100, ((db + 60) / 60) * 100))}%`;
  if (!streaming) return;
  if (audio.encoder) {
    audio.encoder.encode(new AudioData({ format: 'f32-planar', sampleRate: 48000, numberOfFrames: 960,
                                         numberOfChannels: 1, timestamp, data: samples }));
    timestamp += 20000;
  } else {
    const pcm = new Int16Array(samples.length);
    for (let i = 0; i < samples.length; i++) pcm[i] = Math.max(-32768, Math.min(32767, Math.round(samples[i] * 32767)));
    sendAudio(new Uint8Array(pcm.buffer));
  }
}

async function openAudio() {
  // Made inside the tap, and resumed again once the permission prompt is gone.
  const ctx = new AudioContext({ sampleRate: 48000 });
  show('Asking for the microphone…', 'connecting');
  let stream;
  try {
    stream = await navigator.mediaDevices.getUserMedia({
      audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false },
    });
  } catch {
    ctx.close();
    return null;
  }
  await ctx.resume();
  await ctx.audioWorklet.addModule('/capture.js');
  const source = ctx.createMediaStreamSource(stream);
  const node = new AudioWorkletNode(ctx, 'capture', { numberOfInputs: 1, numberOfOutputs: 1 });
  source.connect(node);
  node.connect(ctx.destination); // pulls the node; it writes silence
  node.port.onmessage = (e) => onChunk(e.data);
  ctx.onstatechange = () => {
    if (wanted && ctx.state !== 'running') show('Paused: the browser suspended the microphone. Tap Stop, then Start.', 'error');
  };
  const encoder = await opusEncoder(sendAudio);
  stats.codec = encoder ? 'opus' : 'pcm';
  return { ctx, stream, node, encoder };
}

function closeAudio() {
  if (!audio) return;
  audio.node.disconnect();
  audio.stream.getTracks().forEach((t) => t.stop());
  if (audio.encoder && audio.encoder.state !== 'closed') audio.encoder.close();
  audio.ctx.close();
  audio = null;
  $('level').style.width = '0';
}

async function holdScreen(on) {
  try {
    if (on && !wakeLock && 'wakeLock' in navigator) wakeLock = await navigator.wakeLock.request('screen');
    if (!on && wakeLock) { await wakeLock.release(); wakeLock = null; }
  } catch {
    wakeLock = null;
  }
}

function onBytes(bytes) {
  for (const { type, body } of messages(bytes)) {
    const sentence = new TextDecoder().decode(body.subarray(1));
    if (type === T.welcome) {
      $('computer').textContent = new TextDecoder().decode(body);
      streaming = true;
      retries = 0;
      show('Streaming. The computer hears this phone.', 'streaming');
      holdScreen(true);
    } else if (type === T.notice) {
      show(body[0] === 1 ? 'Streaming. The computer hears this phone.' : sentence, 'streaming');
    } else if (type === T.error) {
      if (body[0] === ERROR_SILENT && wanted) return;
      if (body[0] === ERROR_WRONG_PIN) $('pin-form').hidden = false;
      finish(sentence, 'error');
    } else if (type === T.pong && body.length === 8) {
      stats.rttMs.push(performance.now() - new DataView(body.buffer, body.byteOffset).getFloat64(0, true));
    }
  }
}

function onClosed() {
  streaming = false;
  clearInterval(pingTimer);
  if (!wanted) return;
  const delay = Math.min(10000, 500 * 2 ** retries++);
  show(`The connection dropped. Trying again in ${Math.ceil(delay / 1000)} s…`, 'connecting');
  retryTimer = setTimeout(connect, delay);
}

async function connect() {
  if (!wanted) return;
  show('Connecting…', 'connecting');
  const Way = forcedTransport === 'post' ? PostWay : SocketWay;
  let next = new Way(onBytes, onClosed);
  if (!(await next.open()) && forcedTransport !== 'websocket') {
    next.closed = true;
    next = new PostWay(onBytes, onClosed);
    await next.open();
  }
  if (!wanted) return next.close();
  way = next;
  stats.transport = way.name;
  way.send(message(T.hello, helloBody(stats.codec)));
  pingTimer = setInterval(() => {
    const body = new Uint8Array(8);
    new DataView(body.buffer).setFloat64(0, performance.now(), true);
    way.send(message(T.ping, body));
  }, 1000);
}

function finish(text, state) {
  wanted = false;
  streaming = false;
  clearTimeout(retryTimer);
  clearInterval(pingTimer);
  if (way) { const old = way; way = null; old.close(); }
  closeAudio();
  holdScreen(false);
  show(text, state);
}

async function start() {
  if (!pin()) {
    $('pin-form').hidden = false;
    $('pin').focus();
    show('Type the PIN shown on the computer, then tap Start.', 'idle');
    return;
  }
  wanted = true;
  audio = await openAudio();
  if (!audio) {
    finish('The browser did not allow the microphone. Allow it for this page, then tap Start again.', 'error');
    return;
  }
  connect();
}

function stop() {
  if (way) way.send(message(T.stop));
  finish('Stopped. Tap Start to stream again.', 'idle');
}

$('start').addEventListener('click', () => (wanted ? stop() : start()));
$('pin-form').addEventListener('submit', (e) => { e.preventDefault(); start(); });
for (const input of document.querySelectorAll('input[name=latency]')) {
  input.addEventListener('change', () => { if (way) way.send(message(T.mode, new Uint8Array([latency()]))); });
}
document.addEventListener('visibilitychange', () => {
  if (document.hidden) { hiddenAt = performance.now(); return; }
  if (!wanted) return;
  holdScreen(true);
  if (performance.now() - hiddenAt > 1500) {
    show('The browser paused this page while it was hidden, so the computer heard nothing meanwhile. Streaming again.', 'streaming');
  }
});
if (!link.get('pin')) $('pin-form').hidden = false;
fetch('/name').then((r) => r.text()).then((name) => { if (name) $('computer').textContent = name; }).catch(() => {});
