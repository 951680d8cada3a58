// The page's session against a fake browser: its states, Stop, the transports
// and what phones do to pages.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { MAX_AGE_MS, SAY, T, message, messages } from '../../../web/page/session.js';
import { Resampler } from '../../../web/page/capture.js';
import { bytesOf, phone, reach, settle, welcome } from './fakes.mjs';

const types = (sent) => sent.flatMap((b) => [...messages(b)].map((m) => m.type));

test('a session walks from idle to streaming, through a pause and a dropped connection', async () => {
  const w = await reach('streaming');
  const states = () => w.views.map((v) => v.state).filter((s, i, all) => s !== all[i - 1]);
  assert.deepEqual([w.contexts[0].options.sampleRate, w.node.options.processorOptions.rate], [undefined, 44100]);
  w.chunk();
  assert.deepEqual(types(w.sockets[0].sent), [T.hello, T.stamp, T.audio]);
  w.tracks[0].onmute();
  w.chunk();
  w.tracks[0].onunmute();
  w.sockets[0].drop();
  await w.clock.tick(500);
  assert.deepEqual(states(), ['asking', 'connecting', 'streaming', 'paused', 'streaming', 'reconnecting', 'connecting']);
  assert.equal(w.session.stats.chunks, 1);
  // The second socket is welcomed but never answers a ping: no pong for 3 s reconnects.
  w.sockets[1].open();
  w.sockets[1].receive(welcome);
  await w.clock.tick(4000);
  assert.deepEqual([w.session.state, w.sockets[1].readyState], ['reconnecting', 3]);
});

// In 'asking' the microphone is granted only after Stop: it is closed at once.
test('Stop from every state ends the microphone, the transport, the timers and the wake lock', async () => {
  for (const state of ['asking', 'connecting', 'streaming', 'paused', 'reconnecting']) {
    const w = await reach(state);
    assert.equal(w.session.state, state);
    w.session.stop();
    w.grant?.();
    await settle();
    assert.deepEqual([w.session.state, ...w.leftovers()], ['stopped'], state);
  }
});

test('a WebSocket refused at once or not open in 3 s hands over to POST for good, whose failures back off', async () => {
  for (const fail of [(w) => w.sockets[0].drop(), (w) => w.clock.tick(3000)]) {
    const w = await reach('connecting');
    await fail(w);
    await settle();
    w.sockets[0].onopen?.();
    w.posts[0].answer(welcome, 'token');
    await settle();
    assert.deepEqual([w.sockets[0].readyState, w.session.state, w.session.stats.transport], [3, 'streaming', 'post']);
    for (let second = 0; second < 60; second++) {
      w.posts.forEach((p) => p.fail());
      await w.clock.tick(1000);
    }
    assert.ok(w.sockets.length === 1 && w.posts.length < 12, `${w.posts.length} requests in a minute of failures`);
  }
});

test('POST keeps three numbered requests in flight after the Hello', async () => {
  const w = await reach('connecting', { forcedTransport: 'post' });
  assert.deepEqual([w.posts.length, w.posts[0].init.method, w.posts[0].init.headers], [1, 'POST', {}]); // the Hello waits alone
  w.posts[0].answer(welcome, 'token');
  await settle();
  for (let i = 0; i < 5; i++) w.chunk();
  const seqs = () => w.posts.slice(1).map((p) => p.init.headers['X-Seq']);
  assert.deepEqual(seqs(), ['1', '2', '3']);
  w.posts[2].answer(new Uint8Array(0), 'token');
  await settle();
  assert.deepEqual(seqs(), ['1', '2', '3', '4']);
  assert.deepEqual(types([w.posts[4].init.body]), [T.stamp, T.audio, T.stamp, T.audio]);
  assert.equal(w.posts[4].init.method, 'PUT');
});

test('a chunk goes out with its capture time; one queued beyond the choice is dropped, and a lagging capture opened afresh', async () => {
  const w = await reach('streaming');
  await w.clock.tick(1000);
  w.chunk(); // arrives a chunk after its first sample: the capture clock's offset
  w.chunk(w.clock.t - 20 - MAX_AGE_MS[1] - 1);
  const sent = w.sockets[0].sent.flatMap((b) => [...messages(b)]).filter((m) => m.type === T.stamp || m.type === T.audio);
  const stamp = new DataView(sent[0].body.slice().buffer).getFloat64(0, true);
  assert.deepEqual([sent.map((m) => m.type), stamp, w.session.stats.dropped], [[T.stamp, T.audio], 980, 1]);
  for (let i = 0; i < 249; i++) w.chunk(0);
  await settle();
  assert.deepEqual([w.tracks.length, w.session.stats.dropped, w.session.state], [2, 250, 'streaming']);
});

test('a reload is the same phone', async () => {
  const store = new Map();
  const id = async () => (await reach('streaming', {}, store)).sockets[0].sent[0].slice(-8).join();
  assert.equal(await id(), await id());
});

test('a paired phone starts without a PIN, with its token; a forgotten token asks for the PIN', async () => {
  const store = new Map();
  const w = await reach('streaming', {}, store);
  w.sockets[0].receive(message(T.token, new Uint8Array(32).fill(7)));
  assert.equal(w.views.at(-1).paired, true); // the page then drops the PIN from its link
  const again = phone({}, store);
  again.session.start('', 1);
  await settle();
  again.sockets[0].open();
  assert.deepEqual([...again.sockets[0].sent[0].slice(3, 40)], [2, 2, 1, 0, 32, ...new Array(32).fill(7)]);
  again.sockets[0].receive(bytesOf(T.error, 10, 'forgotten'));
  assert.deepEqual([again.session.state, again.views.at(-1).pinWanted, again.session.paired], ['error', true, false]);
});

test('an error from the gateway ends the session with its sentence and no retry', async () => {
  for (const [code, pinWanted] of [[1, true], [3, false], [8, false], [9, false]]) {
    const w = await reach('streaming');
    w.sockets[0].receive(bytesOf(T.error, code, `sentence ${code}`));
    await w.clock.tick(60000);
    const seen = [w.session.state, w.text(), w.sockets.length, Boolean(w.views.at(-1).pinWanted)];
    assert.deepEqual(seen, ['error', `sentence ${code}`, 1, pinWanted]);
  }
});

test('each microphone failure has its own sentence', async () => {
  const refuse = (name) => ({ mediaDevices: { getUserMedia: () => Promise.reject({ name }) } });
  const rows = [
    [refuse('NotAllowedError'), SAY.refused],
    [refuse('NotFoundError'), SAY.noMic],
    [refuse('NotReadableError'), SAY.micFailing],
    [{ secure: false }, SAY.unsupported],
    [{ mediaDevices: undefined }, SAY.unsupported],
  ];
  for (const [env, sentence] of rows) {
    const w = await reach('connecting', env); // fails before it connects
    assert.deepEqual([w.session.state, w.text(), ...w.leftovers()], ['error', sentence]);
  }
});

test('a page shown again resumes its audio and takes an ended microphone again', async () => {
  const w = await reach('streaming');
  w.session.hidden();
  w.contexts[0].state = 'suspended';
  w.contexts[0].onstatechange();
  await w.clock.tick(2000);
  w.sockets[0].receive(bytesOf(T.pong));
  await w.session.visible();
  assert.deepEqual([w.session.state, w.text()], ['streaming', SAY.back]);

  w.hidden = true;
  w.tracks[0].stop();
  w.tracks[0].onended();
  assert.equal(w.session.state, 'paused');
  w.hidden = false;
  await w.session.visible();
  await settle();
  assert.deepEqual([w.tracks.length, w.session.state, w.contexts[0].state], [2, 'streaming', 'closed']);
});

test('a tone keeps its frequency and level through the resampler', () => {
  for (const rate of [44100, 48000]) {
    const out = [];
    const resampler = new Resampler(rate, (chunk) => out.push(...chunk));
    const tone = Float32Array.from({ length: rate }, (_, i) => 0.5 * Math.sin((2 * Math.PI * 1000 * i) / rate));
    for (let at = 0; at < tone.length; at += 128) resampler.push(tone.subarray(at, at + 128));
    assert.ok(out.length % 960 === 0 && Math.abs(out.length - 48000) <= 960, `${out.length} frames from ${rate}`);
    const crossings = out.slice(1).filter((s, i) => out[i] < 0 && s >= 0).length;
    assert.ok(Math.abs(crossings - out.length / 48) <= 1, `${crossings} cycles from ${rate}`);
    assert.ok(Math.abs(Math.max(...out) - 0.5) < 0.005, `peak ${Math.max(...out)} from ${rate}`);
  }
});
