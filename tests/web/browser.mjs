// Plays a phone's browser against the gateway: Debian's Chromium with a fake
// microphone that loops a WAV file, driven like a hand (taps, a 390x844 touch
// screen). Prints one line per step for the test to follow; keeps screenshots.
// Usage: node browser.mjs URL WAV SHOT_DIR STREAM_SECONDS WRONG_PIN_URL POST_URL
import puppeteer from 'puppeteer-core';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [url, wav, shots, seconds, wrongPinUrl, postUrl] = process.argv.slice(2);
mkdirSync(shots, { recursive: true });
const say = (line) => console.log(line);

const profile = mkdtempSync(join(tmpdir(), 'sonvale-chromium-'));
const browser = await puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  acceptInsecureCerts: true,
  headless: true,
  userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--use-fake-ui-for-media-stream',
         '--use-fake-device-for-media-stream', `--use-file-for-fake-audio-capture=${wav}`,
         '--autoplay-policy=no-user-gesture-required'],
});

async function phone(link) {
  const page = await browser.newPage();
  await page.emulate({ viewport: { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true },
                       userAgent: 'Mozilla/5.0 (Linux; Android 14) Mobile' });
  page.on('pageerror', (e) => say(`page-error ${e.message}`));
  await page.goto(link, { waitUntil: 'networkidle0' });
  return page;
}

const stateOf = (page) => page.$eval('body', (b) => [b.dataset.state, document.getElementById('state').textContent]);
async function waitState(page, wanted, ms = 30000) {
  await page.waitForFunction((w) => document.body.dataset.state === w, { timeout: ms }, wanted);
  return stateOf(page);
}

async function stream(link, name, ms) {
  const page = await phone(link);
  await page.screenshot({ path: join(shots, `${name}-idle.png`) });
  await page.tap('#start');
  await waitState(page, 'streaming');
  await page.waitForFunction(() => window.sonvaleStats.chunks > 0, { timeout: 30000 });
  const first = await page.evaluate(() => JSON.stringify(window.sonvaleStats));
  say(`streaming ${name} ${first.slice(0, 200)}`);
  await new Promise((done) => setTimeout(done, ms));
  await page.screenshot({ path: join(shots, `${name}-streaming.png`) });
  const stats = await page.evaluate(() => {
    const s = window.sonvaleStats;
    const rtt = [...s.rttMs].sort((a, b) => a - b);
    return { transport: s.transport, codec: s.codec, chunks: s.chunks,
             rttP50: rtt[Math.floor(rtt.length / 2)], rttMax: rtt[rtt.length - 1] };
  });
  say(`stats ${name} ${JSON.stringify(stats)}`);
  await page.tap('#start');
  const [state] = await waitState(page, 'idle');
  say(`stopped ${name} ${state}`);
  await page.close();
  await new Promise((done) => setTimeout(done, 3000)); // the test sees the ring stand still
}

try {
  await stream(url, 'websocket', Number(seconds) * 1000);
  const wrong = await phone(wrongPinUrl);
  await wrong.tap('#start');
  const [, sentence] = await waitState(wrong, 'error');
  await wrong.screenshot({ path: join(shots, 'wrong-pin-error.png') });
  say(`wrong-pin ${sentence}`);
  await wrong.close();
  if (postUrl) await stream(postUrl, 'post', 5000);
  say('done');
} catch (e) {
  say(`failed ${e.message}`);
  process.exitCode = 1;
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
