// A phone's browser walking the gateway's page: opens the link, taps Start,
// streams, taps Stop. Prints one line per step for the test, which listens to
// the recording meanwhile; keeps screenshots.
//   streaming NAME STATS   the page streams; the test marks the recording
//   heard NAME STATS       the stream has run; the test checks what it heard
//   stopped NAME           Stop tapped; the page is idle for 5 s
//   wrong-pin SENTENCE | front JSON | reloaded STATE SENTENCE | failed STEP: WHY | done
// Usage: node phone.mjs chromium|firefox|webkit PIN SHOT_DIR DATA_HOME WAV
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { refusingFront } from './refusing_front.mjs';

const [engine, pin, shots, dataHome, wav] = process.argv.slice(2);
const gateway = 'https://127.0.0.1:47812';
const frontPort = 47813;
mkdirSync(shots, { recursive: true });
const say = (line) => console.log(line);
const pause = (ms) => new Promise((done) => setTimeout(done, ms));

const { launch } = await import(engine === 'webkit' ? './engines/webkit.mjs' : './engines/puppeteer.mjs');
const browser = await launch(engine, { wav });
const shot = (name) => browser.screenshot(join(shots, `${engine}-${name}.png`));
const state = () => browser.eval(() => [document.body.dataset.state, document.getElementById('state').textContent]);
const stats = () => browser.eval(() => {
  const s = window.sonvaleStats;
  const rtt = [...s.rttMs].sort((a, b) => a - b);
  return JSON.stringify({ transport: s.transport, codec: s.codec, chunks: s.chunks, sockets: s.sockets,
                          welcomes: s.welcomes, rttP50: Math.round(rtt[Math.floor(rtt.length / 2)]), rttMax: Math.round(rtt[rtt.length - 1]) });
});

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

async function begin(name) {
  await browser.tap('#start');
  await until('streaming');
  say(`streaming ${name} ${await stats()}`);
}

async function finish(name, seconds, report = async () => {}) {
  await pause(seconds * 1000);
  await shot(`${name}-streaming`);
  say(`heard ${name} ${await stats()}`);
  await report();
  await browser.tap('#start');
  await until('idle');
  say(`stopped ${name}`);
  await browser.closePage();
  await pause(5000);
}

async function stream(name, url, seconds, report) {
  await open(url);
  await shot(`${name}-idle`);
  await begin(name);
  await finish(name, seconds, report);
}

const steps = {
  websocket: () => stream('websocket', `${gateway}/#pin=${pin}`, 6),
  post: () => stream('post', `${gateway}/#pin=${pin}&transport=post`, 6),
  async 'wrong-pin'() {
    await open(`${gateway}/#pin=0000`);
    await browser.tap('#start');
    const [, sentence] = await until('error');
    await shot('wrong-pin');
    say(`wrong-pin ${sentence}`);
    await browser.closePage();
  },
  // A front that refuses WebSockets: one clean POST stream, no storm of attempts.
  // A page that never streams through it still reports what it tried.
  async refused() {
    const front = await refusingFront(dataHome, frontPort, 47812);
    const report = async () => say(`front ${JSON.stringify({ ...JSON.parse(await stats()), refusedUpgrades: front.refused,
                                                             state: (await state()).join(': ') })}`);
    try {
      await open(`https://127.0.0.1:${frontPort}/#pin=${pin}`);
      try {
        await begin('refused');
      } catch (e) {
        await shot('refused-stuck');
        await report();
        await browser.closePage();
        return;
      }
      await finish('refused', 10, report);
    } finally {
      front.server.close();
    }
  },
  // The same phone reloads while it streams and starts again.
  async reload() {
    await open(`${gateway}/#pin=${pin}`);
    await begin('before-reload');
    await pause(2000);
    await browser.reload();
    await until('idle');
    await browser.tap('#start');
    const [now, sentence] = await until('streaming', 'error');
    await shot('reloaded');
    say(`reloaded ${now} ${sentence}`);
    if (now !== 'streaming') return;
    say(`streaming reload ${await stats()}`);
    await finish('reload', 5);
  },
};
const plans = { chromium: ['websocket', 'wrong-pin'], firefox: ['websocket'],
                webkit: ['websocket', 'post', 'refused', 'reload'] };

// A step that fails says so and the walk goes on, so one fault hides no other.
for (const step of plans[engine]) {
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
