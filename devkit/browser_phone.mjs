// A phone's browser streaming for a while, for soak runs and the bench:
// Chromium (fake microphone playing WAV; Firefox ESR with SONVALE_BROWSER=firefox) opens the link, picks the latency
// choice, taps Start, streams SECONDS, prints the page's stats as one JSON
// line and taps Stop. Exits 1 when the page never streamed.
//   node devkit/browser_phone.mjs URL SECONDS WAV [MODE 0|1|2]
import { launch } from '../tests/web/engines/puppeteer.mjs';

const [url, seconds, wav, mode = '1'] = process.argv.slice(2);
const pause = (ms) => new Promise((done) => setTimeout(done, ms));
const browser = await launch(process.env.SONVALE_BROWSER || 'chromium', { wav });
const phase = () => browser.eval(() => document.body.dataset.phase);
try {
  await browser.open(url, (message) => console.error(`page-error ${message}`));
  await browser.tap(`input[name=latency][value="${mode}"]`);
  await browser.tap('#start');
  for (let i = 0; i < 150 && (await phase()) !== 'streaming'; i++) await pause(200);
  if ((await phase()) !== 'streaming') throw new Error(`the page stayed ${await phase()}`);
  await pause(Number(seconds) * 1000);
  console.log(JSON.stringify(await browser.eval(() => ({ ...window.sonvaleStats, rttMs: undefined }))));
  await browser.tap('#start');
} catch (e) {
  console.error(`browser_phone: ${e.message}`);
  process.exitCode = 1;
} finally {
  await browser.close();
}
