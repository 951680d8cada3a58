// A phone's browser walking the gateway's page: opens the link, taps Start,
// streams, taps Stop. Judges what the page shows and prints one line per step
// for the test, which listens to the recording meanwhile; keeps screenshots.
//   streaming NAME STATS   the page streams; the test marks the recording
//   heard NAME STATS       the stream has run; the test checks what it heard
//   stopped NAME           Stop tapped; the page is idle for 5 s
//   failed STEP: WHY | done
// Usage: node phone.mjs chromium|firefox|webkit PIN SHOT_DIR DATA_HOME WAV [STEP PROFILE]
// STEP and PROFILE: that step alone, in a browser profile kept for the next run.
import { join } from 'node:path';
import { refusingFront } from './refusing_front.mjs';

const [engine, pin, shots, dataHome, wav, only, profile] = process.argv.slice(2);
const gateway = 'https://127.0.0.1:47812';
// A measuring run streams longer (PHONE_STREAM_SECONDS) or walks other steps (PHONE_PLAN=post,reload).
const seconds = Number(process.env.PHONE_STREAM_SECONDS || 6);
const say = (line) => console.log(line);
const pause = (ms) => new Promise((done) => setTimeout(done, ms));
function expect(holds, why) {
  if (!holds) throw new Error(why);
}

const { launch } = await import(engine === 'webkit' ? './engines/webkit.mjs' : './engines/puppeteer.mjs');
const browser = await launch(engine, { wav, profile });
const shot = (name) => browser.screenshot(join(shots, `${engine}-${name}.png`));
const state = () => browser.eval(() => [document.body.dataset.state, document.getElementById('state').textContent]);
const stats = () => browser.eval(() => ({ ...window.sonvaleStats, rttMs: undefined }));

// Polls the page every 200 ms until it is in one of the states; 30 s at most.
async function until(...wanted) {
  for (let i = 0; i < 150; i++) {
    const now = await state();
    if (wanted.includes(now[0])) return now;
    await pause(200);
  }
  throw new Error(`the page stayed "${(await state()).join(': ')}" instead of ${wanted.join(' or ')}`);
}

async function open(url) {
  await browser.open(url, (message) => say(`page-error ${message}`));
  await until('idle');
}

// Taps Start and streams for a while; the stream's figures.
async function streamFor(name, seconds) {
  await browser.tap('#start');
  await until('streaming');
  say(`streaming ${name} ${JSON.stringify(await stats())}`);
  await pause(seconds * 1000);
  await shot(name);
  const now = await stats();
  say(`heard ${name} ${JSON.stringify(now)}`);
  return now;
}

// Streams over the transport for a while, taps Stop.
async function stream(name, transport, seconds, check = () => {}) {
  const now = await streamFor(name, seconds);
  expect(now.transport === transport, `streamed over "${now.transport}", not ${transport}`);
  check(now);
  await browser.tap('#start');
  await until('idle');
  say(`stopped ${name}`);
  await browser.closePage();
  await pause(5000);
}

const steps = {
  websocket: () => open(`${gateway}/#pin=${pin}`).then(() => stream('websocket', 'websocket', seconds)),
  post: () => open(`${gateway}/#pin=${pin}&transport=post`).then(() => stream('post', 'post', seconds)),
  // Before any stream: a paired browser would use its token, not the PIN.
  async 'wrong-pin'() {
    await open(`${gateway}/#pin=0000`);
    await browser.tap('#start');
    const [, sentence] = await until('error');
    await shot('wrong-pin');
    expect(sentence.includes('Wrong PIN'), `the page said "${sentence}"`);
    await browser.closePage();
  },
  // A front that refuses WebSockets: one attempt, then one clean POST stream.
  async refused() {
    const front = await refusingFront(dataHome, 47813, 47812);
    const noStorm = (s) => expect(front.refused <= 1 && s.welcomes === 1,
                                  `${front.refused} upgrades refused, ${s.welcomes} welcomes`);
    try {
      await open(`https://127.0.0.1:47813/#pin=${pin}`);
      await stream('refused', 'post', 10, noStorm);
    } catch (e) {
      throw new Error(`${e.message}; the front refused ${front.refused} upgrades`);
    } finally {
      front.server.close();
    }
  },
  // The same phone reloads while it streams and starts again.
  async reload() {
    await open(`${gateway}/#pin=${pin}`);
    await browser.tap('#start');
    await until('streaming');
    await pause(2000);
    await browser.reload();
    await until('idle');
    await stream('reload', 'websocket', 5);
  },
  // Journey 7, second launch: paired before, the bare link streams without a
  // PIN until the computer forgets the phone (the test does, once it heard it);
  // then the page asks for the PIN.
  async return() {
    await open(`${gateway}/`);
    await streamFor('return', seconds);
    await until('error');
    expect(await browser.eval(() => !document.getElementById('pin-form').hidden), 'the PIN was not asked for');
    await browser.closePage();
  },
};
const plans = { chromium: ['wrong-pin', 'websocket'], firefox: ['websocket', 'post'],
                webkit: ['websocket', 'post', 'refused', 'reload'] };

// A step that fails says so and the walk goes on, so one fault hides no other.
for (const step of (only ?? process.env.PHONE_PLAN)?.split(',') ?? plans[engine]) {
  try {
    await steps[step]();
  } catch (e) {
    say(`failed ${step}: ${e.message}`);
    await shot(`${step}-failed`).catch(() => {});
    await browser.closePage().catch(() => {});
    process.exitCode = 1;
  }
}
say('done');
await browser.close();
