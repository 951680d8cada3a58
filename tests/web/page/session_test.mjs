// The page's session against a fake browser: its states, Stop, the transports
// and what phones do to pages.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { SAY, T, message, messages } from '../../../web/page/session.js';
import { Resampler } from '../../../web/page/capture.js';
import { bytesOf, phone, reach, settle, welcome } from './fakes.mjs';

const types = (sent) => sent.flatMap((b) => [...messages(b)].map((m) => m.type));

test('a session walks from idle to streaming, through a pause and a dropped connection', async () => {
  const w = phone();
  const states = () => w.views.map((v) => v.state).filter((s, i, all) => s !== all[i - 1]);
  await reach(w, 'streaming');
  assert.equal(w.contexts[0].options.sampleRate, undefined);
  assert.equal(w.node.options.processorOptions.rate, 44100);
  w.chunk();
  assert.deepEqual(types(w.sockets[0].sent), [T.hello, T.audio]);
  w.tracks[0].onmute();
  w.chunk();
  w.tracks[0].muted = false;
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

test('Stop from every state ends the microphone, the transport, the timers and the wake lock', async () => {
  for (const state of ['asking', 'connecting', 'streaming', 'paused', 'reconnecting']) {
    const w = phone();
    await reach(w, state);
    assert.equal(w.session.state, state);
    w.session.stop();
    await settle();
    assert.equal(w.session.state, 'stopped', state);
    assert.ok(w.contexts.every((c) => c.state === 'closed'), state);
    assert.ok(w.tracks.every((t) => t.readyState === 'ended'), state);
    assert.ok(w.sockets.every((s) => s.readyState === 3), state);
    assert.equal(w.clock.timers.size, 0, state);
    assert.ok(w.locks.every((l) => l.released), state);
  }
});

test('Stop during the permission prompt closes the microphone granted after it', async () => {
  const w = phone();
  await reach(w, 'asking');
  w.session.stop();
  const stream = await phone().env.mediaDevices.getUserMedia();
  w.grant(stream);
  await settle();
  assert.equal(stream.getTracks()[0].readyState, 'ended');
  assert.equal(w.sockets.length, 0);
});

test('a WebSocket refused at once hands over to POST once, and POST failures back off', async () => {
  const w = phone();
  await reach(w, 'connecting');
  w.sockets[0].drop();
  await settle();
  assert.equal(w.posts.length, 1);
  assert.equal(w.posts[0].init.headers['X-Session'], undefined);
  w.posts[0].answer(welcome, 'token');
  await settle();
  assert.equal(w.session.state, 'streaming');
  for (let second = 0; second < 60; second++) {
    w.posts.forEach((p) => p.fail());
    await w.clock.tick(1000);
  }
  assert.equal(w.sockets.length, 1);
  assert.ok(w.posts.length < 12, `${w.posts.length} requests in a minute of failures`);
  assert.equal(w.session.stats.welcomes, 1);
});

test('a WebSocket that has not opened in 3 s is closed and POST takes over', async () => {
  const w = phone();
  await reach(w, 'connecting');
  await w.clock.tick(3000);
  assert.equal(w.sockets[0].readyState, 3);
  assert.equal(w.posts.length, 1);
  w.sockets[0].onopen?.();
  assert.equal(w.session.stats.transport, 'post');
});

test('POST keeps three numbered requests in flight after the Hello', async () => {
  const w = phone({ forcedTransport: 'post' });
  await reach(w, 'connecting');
  w.chunk();
  assert.equal(w.posts.length, 1); // the Hello waits alone for its session
  w.posts[0].answer(welcome, 'token');
  await settle();
  for (let i = 0; i < 5; i++) w.chunk();
  const seqs = () => w.posts.slice(1).map((p) => p.init.headers['X-Seq']);
  assert.deepEqual(seqs(), ['1', '2', '3']);
  w.posts[2].answer(new Uint8Array(0), 'token');
  await settle();
  assert.deepEqual(seqs(), ['1', '2', '3', '4']);
  assert.deepEqual(types([w.posts[4].init.body]), [T.audio, T.audio]);
});

test('a reload is the same phone', async () => {
  const store = new Map();
  const ids = [];
  for (let load = 0; load < 2; load++) {
    const w = phone({}, store);
    await reach(w, 'streaming');
    ids.push(w.sockets[0].sent[0].slice(-8).join());
  }
  assert.equal(ids[0], ids[1]);
});

test('a paired phone starts without a PIN, with its token; a forgotten token asks for the PIN', async () => {
  const store = new Map();
  const w = phone({}, store);
  await reach(w, 'streaming');
  w.sockets[0].receive(message(T.token, new Uint8Array(32).fill(7)));
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
    const w = phone();
    await reach(w, 'streaming');
    w.sockets[0].receive(bytesOf(T.error, code, `sentence ${code}`));
    await w.clock.tick(60000);
    assert.deepEqual([w.session.state, w.text(), w.sockets.length], ['error', `sentence ${code}`, 1]);
    assert.equal(Boolean(w.views.at(-1).pinWanted), pinWanted);
  }
});

test('each microphone failure has its own sentence', async () => {
  const rows = [
    [{ mic: () => Promise.reject({ name: 'NotAllowedError' }) }, SAY.refused],
    [{ mic: () => Promise.reject({ name: 'NotFoundError' }) }, SAY.noMic],
    [{ mic: () => Promise.reject({ name: 'NotReadableError' }) }, SAY.micFailing],
    [{ env: { secure: false } }, SAY.unsupported],
    [{ env: { mediaDevices: undefined } }, SAY.unsupported],
  ];
  for (const [row, sentence] of rows) {
    const w = phone(row.env);
    if (row.mic) w.mic = row.mic;
    w.session.start('1234', 1);
    await settle();
    assert.deepEqual([w.session.state, w.text()], ['error', sentence]);
    assert.ok(w.contexts.every((c) => c.state === 'closed'));
  }
});

test('a page shown again resumes its audio and takes an ended microphone again', async () => {
  const w = phone();
  await reach(w, 'streaming');
  w.session.hidden();
  w.contexts[0].state = 'suspended';
  w.contexts[0].onstatechange();
  await w.clock.tick(2000);
  w.sockets[0].receive(bytesOf(T.pong));
  await w.session.visible();
  assert.deepEqual([w.session.state, w.text()], ['streaming', SAY.back]);

  w.hidden = true;
  w.tracks[0].readyState = 'ended';
  w.tracks[0].onended();
  assert.equal(w.session.state, 'paused');
  w.hidden = false;
  await w.session.visible();
  await settle();
  assert.equal(w.tracks.length, 2);
  assert.deepEqual([w.session.state, w.contexts[0].state], ['streaming', 'closed']);
});

test('a tone keeps its frequency and level through the resampler', () => {
  for (const rate of [44100, 48000]) {
    const out = [];
    const resampler = new Resampler(rate, (chunk) => out.push(...chunk));
    const tone = Float32Array.from({ length: rate }, (_, i) => 0.5 * Math.sin((2 * Math.PI * 1000 * i) / rate));
    for (let at = 0; at < tone.length; at += 128) resampler.push(tone.subarray(at, at + 128));
    assert.equal(out.length % 960, 0);
    assert.ok(Math.abs(out.length - 48000) <= 960, `${out.length} frames from ${rate}`);
    const crossings = out.slice(1).filter((s, i) => out[i] < 0 && s >= 0).length;
    assert.ok(Math.abs(crossings - out.length / 48) <= 1, `${crossings} cycles from ${rate}`);
    assert.ok(Math.abs(Math.max(...out) - 0.5) < 0.005, `peak ${Math.max(...out)} from ${rate}`);
  }
});
