// A phone's browser for the delay bench: Chromium capturing from the sound
// server's default source (no fake device), streaming the gateway's page at one
// setting. Prints "streaming" once the page streams, "stats JSON" before it stops.
// Usage: node browser_phone.mjs ROOT URL SETTING(0|1|2) SECONDS
import { createRequire } from 'node:module';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [root, url, setting, seconds] = process.argv.slice(2);
const puppeteer = createRequire(join(root, 'tests/web/package.json'))('puppeteer-core');
const pause = (ms) => new Promise((done) => setTimeout(done, ms));

const profile = mkdtempSync(join(tmpdir(), 'sonvale-bench-'));
const browser = await puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  acceptInsecureCerts: true,
  headless: true,
  userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--disable-domain-reliability', '--no-pings',
         '--use-fake-ui-for-media-stream', '--autoplay-policy=no-user-gesture-required'],
});
try {
  const page = await browser.newPage();
  await page.emulate({ viewport: { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true },
                       userAgent: 'Mozilla/5.0 (Linux; Android 14) Mobile' });
  page.on('pageerror', (e) => console.log(`page-error ${e.message}`));
  await page.goto(url, { waitUntil: 'load' });
  await page.tap(`input[name=latency][value="${setting}"]`);
  await page.tap('#start');
  const state = () => page.evaluate(() => document.body.dataset.state);
  for (let i = 0; i < 150 && (await state()) !== 'streaming'; i++) await pause(200);
  if ((await state()) !== 'streaming') throw new Error(`the page stayed ${await state()}`);
  console.log('streaming');
  await pause(Number(seconds) * 1000);
  console.log(`stats ${JSON.stringify(await page.evaluate(() => ({ ...window.sonvaleStats })))}`);
  await page.tap('#start');
  await pause(500);
} catch (e) {
  console.log(`failed ${e.message}`);
  process.exitCode = 1;
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
