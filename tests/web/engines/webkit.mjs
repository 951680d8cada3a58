// WebKitGTK's MiniBrowser driven by Debian's WebKitWebDriver over plain
// WebDriver HTTP on loopback. Its mock microphone plays a 150 Hz hum (peak
// 0.1) under a quieter 3 kHz tone, with a short beep each second.
import { spawn } from 'node:child_process';
import { existsSync, readdirSync, writeFileSync } from 'node:fs';

const port = 4444;
const base = `http://127.0.0.1:${port}`;
const pause = (ms) => new Promise((done) => setTimeout(done, ms));

async function call(method, path, body) {
  const reply = await fetch(base + path, { method, headers: { 'content-type': 'application/json' },
                                           body: body && JSON.stringify(body) });
  const { value } = await reply.json();
  if (value && value.error) throw new Error(`WebDriver ${path}: ${value.error}: ${value.message}`);
  return value;
}

export async function launch() {
  const binary = readdirSync('/usr/lib')
    .flatMap((arch) => ['4.1', '4.0'].map((v) => `/usr/lib/${arch}/webkit2gtk-${v}/MiniBrowser`)).find(existsSync);
  if (!binary) throw new Error('no MiniBrowser (Debian package libwebkit2gtk-4.1-0)');
  // Its own X server on a free display, reached by no network.
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-nolisten', 'tcp', '-screen', '0', '1024x900x24'],
                     { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const display = await new Promise((found) => xvfb.stdio[3].once('data', (n) => found(`:${String(n).trim()}`)));
  const driver = spawn('WebKitWebDriver', [`--port=${port}`, '--host=local'],
                       { stdio: ['ignore', 'ignore', 'inherit'], env: { ...process.env, DISPLAY: display } });
  let session = null;
  for (let i = 0; !session && i < 100; i++) {
    try {
      session = await call('POST', '/session', { capabilities: { alwaysMatch: {
        acceptInsecureCerts: true,
        'webkitgtk:browserOptions': { binary, args: [
          '--automation', '--enable-media-stream=true', '--enable-mock-capture-devices=true', '--enable-webaudio=true',
          '--enable-dns-prefetching=false', '--media-playback-requires-user-gesture=false'] } } } });
    } catch (e) {
      if (!String(e.cause?.code ?? e.message).includes('ECONNREFUSED')) throw e;
      await pause(100);
    }
  }
  const at = (path) => `/session/${session.sessionId}${path}`;
  return {
    // WebDriver HTTP tells of no page errors.
    async open(url) {
      await call('POST', at('/window/rect'), { width: 390, height: 844 });
      await call('POST', at('/url'), { url });
    },
    async tap(selector) {
      const element = await call('POST', at('/element'), { using: 'css selector', value: selector });
      await call('POST', at(`/element/${Object.values(element)[0]}/click`), {});
    },
    eval: (source) => call('POST', at('/execute/sync'), { script: `return (${source})()`, args: [] }),
    reload: () => call('POST', at('/refresh'), {}),
    async screenshot(path) { writeFileSync(path, Buffer.from(await call('GET', at('/screenshot')), 'base64')); },
    async closePage() { await call('POST', at('/url'), { url: 'about:blank' }); },
    async close() {
      try { await call('DELETE', at('')); } finally { driver.kill(); xvfb.kill(); }
    },
  };
}
