// Chromium and Firefox ESR from Debian through puppeteer-core (Firefox over
// WebDriver BiDi), as a phone: a 390x844 screen, a fake microphone, no prompt,
// and every background network feature off.
import puppeteer from 'puppeteer-core';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const chromiumArgs = (wav) => [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--disable-domain-reliability', '--no-pings',
  '--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream', `--use-file-for-fake-audio-capture=${wav}`,
  '--autoplay-policy=no-user-gesture-required'];

// Firefox's fake microphone is a sine at this frequency, peak 0.1; nothing in
// the background reaches for the network.
const off = (...names) => Object.fromEntries(names.map((name) => [name, false]));
const firefoxPrefs = {
  'media.navigator.streams.fake': true, 'media.navigator.permission.disabled': true,
  'media.navigator.audio.fake_frequency': 1000, 'media.autoplay.default': 0, 'network.dns.disablePrefetch': true,
  'network.http.speculative-parallel-limit': 0, 'services.settings.server': 'http://127.0.0.1:9/',
  'media.gmp-manager.url': 'http://127.0.0.1:9/', 'browser.safebrowsing.provider.mozilla.updateURL': '',
  'browser.region.network.url': '',
  ...off('network.captive-portal-service.enabled', 'network.connectivity-service.enabled', 'network.prefetch-next',
         'app.update.enabled', 'app.update.auto', 'toolkit.telemetry.enabled', 'browser.region.update.enabled',
         'datareporting.healthreport.uploadEnabled', 'datareporting.policy.dataSubmissionEnabled',
         'extensions.getAddons.cache.enabled', 'extensions.update.enabled', 'browser.topsites.contile.enabled',
         'browser.newtabpage.activity-stream.feeds.snippets'),
};

// profile: a folder kept after close (a phone that comes back); else a fresh one.
export async function launch(kind, { wav, profile: kept }) {
  const profile = kept ?? mkdtempSync(join(tmpdir(), `sonvale-${kind}-`));
  const firefox = kind === 'firefox';
  const browser = await puppeteer.launch({
    browser: firefox ? 'firefox' : 'chrome',
    executablePath: firefox ? '/usr/bin/firefox-esr' : '/usr/bin/chromium',
    acceptInsecureCerts: true,
    headless: true,
    userDataDir: profile,
    ...(firefox ? { extraPrefsFirefox: firefoxPrefs } : { args: chromiumArgs(wav) }),
  });
  let page = null;
  return {
    async open(url, onError) {
      page = await browser.newPage();
      if (firefox) {
        await page.setViewport({ width: 390, height: 844 });
      } else {
        await page.emulate({ viewport: { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true },
                             userAgent: 'Mozilla/5.0 (Linux; Android 14) Mobile' });
      }
      page.on('pageerror', (e) => onError(e.message));
      await page.goto(url, { waitUntil: 'load' });
    },
    // Firefox's BiDi has no touch screen to emulate: a click is its tap.
    tap: (selector) => (firefox ? page.click(selector) : page.tap(selector)),
    eval: (source) => page.evaluate(source),
    reload: () => page.reload({ waitUntil: 'load' }),
    screenshot: (path) => page.screenshot({ path }),
    async closePage() { await page.close(); page = null; },
    async close() {
      await browser.close();
      if (!kept) rmSync(profile, { recursive: true, force: true });
    },
  };
}
