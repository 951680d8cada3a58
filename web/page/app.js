// The phone's side in the DOM: renders the session's state and forwards taps,
// form submits and visibility to it (session.js holds the logic).
import { Session } from './session.js';

const $ = (id) => document.getElementById(id);
const link = new URLSearchParams(location.hash.slice(1));

// What browser tests read in data-state; data-phase names the exact state.
const shownAs = { asking: 'connecting', reconnecting: 'connecting', stopped: 'idle' };

// 20 ms Opus packets from WebCodecs, or null where the browser cannot. Each
// packet leaves with its chunk's capture time: one packet per chunk, in order.
async function opusEncoder(send) {
  const config = { codec: 'opus', sampleRate: 48000, numberOfChannels: 1, bitrate: 64000, opus: { frameDuration: 20000 } };
  if (link.get('codec') === 'pcm' || typeof AudioEncoder === 'undefined') return null;
  try {
    if (!(await AudioEncoder.isConfigSupported(config)).supported) return null;
    const captures = [];
    const encoder = new AudioEncoder({
      output: (chunk) => {
        const bytes = new Uint8Array(chunk.byteLength);
        chunk.copyTo(bytes);
        send(bytes, captures.shift());
      },
      error: () => {},
    });
    encoder.configure(config);
    let timestamp = 0;
    return {
      codec: 'opus',
      queued: () => encoder.encodeQueueSize,
      encode(data, captureMs) {
        captures.push(captureMs);
        encoder.encode(new AudioData({ format: 'f32-planar', sampleRate: 48000, numberOfFrames: data.length,
                                       numberOfChannels: 1, timestamp, data }));
        timestamp += 20000;
      },
      close: () => encoder.state !== 'closed' && encoder.close(),
    };
  } catch {
    return null;
  }
}

// Once the token is kept the PIN in the link is of no more use: without it, a
// bookmark or home-screen icon made from now on is the bare link.
function dropPinFromLink() {
  if (!link.has('pin')) return;
  link.delete('pin');
  const rest = link.toString();
  history.replaceState(history.state, '', location.pathname + location.search + (rest ? `#${rest}` : ''));
}

function render({ state, text, pinWanted, computer, paired, diagnostics }) {
  if (computer) $('computer').textContent = computer;
  if (diagnostics !== undefined) $('diagnostics').textContent = diagnostics;
  $('diagnostics').hidden = state !== 'streaming' || !$('diagnostics').textContent;
  if (paired) dropPinFromLink();
  if (text !== undefined) $('state').textContent = text;
  if (pinWanted) {
    $('pin-form').hidden = false;
    $('pin').focus();
  }
  document.body.dataset.state = shownAs[state] ?? state;
  document.body.dataset.phase = state;
  $('start').textContent = session?.active ? 'Stop' : 'Start';
}

const session = new Session({
  WebSocket: window.WebSocket,
  fetch: (...args) => fetch(...args),
  AudioContext: window.AudioContext ?? window.webkitAudioContext,
  AudioWorkletNode: window.AudioWorkletNode,
  // The link may ask for the audio context's capture where both exist, to compare them.
  MediaStreamTrackProcessor: link.get('capture') === 'worklet' ? undefined : window.MediaStreamTrackProcessor,
  mediaDevices: navigator.mediaDevices,
  secure: window.isSecureContext,
  wakeLock: navigator.wakeLock,
  storage: window.sessionStorage,
  keep: (() => {
    try {
      return window.localStorage;
    } catch {
      return null; // storage blocked: the PIN every time
    }
  })(),
  random: (n) => crypto.getRandomValues(new Uint8Array(n)),
  host: location.host,
  forcedTransport: link.get('transport'),
  opusEncoder,
  setTimeout: (f, ms) => setTimeout(f, ms),
  clearTimeout: (t) => clearTimeout(t),
  setInterval: (f, ms) => setInterval(f, ms),
  clearInterval: (t) => clearInterval(t),
  now: () => performance.now(),
  hidden: () => document.hidden,
  level: (fraction) => ($('level').style.width = `${fraction * 100}%`),
  render,
});
window.sonvaleStats = session.stats;

const latency = () => Number(document.querySelector('input[name=latency]:checked').value);
const start = () => session.start($('pin').value.trim() || link.get('pin') || '', latency());

$('start').addEventListener('click', () => (session.active ? session.stop() : start()));
$('pin-form').addEventListener('submit', (e) => {
  e.preventDefault();
  if (!session.active) start();
});
for (const input of document.querySelectorAll('input[name=latency]')) {
  input.addEventListener('change', () => session.setMode(latency()));
}
document.addEventListener('visibilitychange', () => (document.hidden ? session.hidden() : session.visible()));
if (!link.get('pin') && !session.paired) $('pin-form').hidden = false;
// Start is live, and the page idle, only once its logic is wired: a tap
// while the modules still load would be lost.
$('start').disabled = false;
render({ state: session.state });
fetch('/name')
  .then((r) => r.text())
  .then((name) => name && ($('computer').textContent = name))
  .catch(() => {});
