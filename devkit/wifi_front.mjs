// A TLS front that carries a phone's connections to the gateway as a phone's
// Wi-Fi in power-save does: what the phone sends is held during stalls (every
// few seconds, for up to stallMs) and then delivered in one burst, and every
// piece is delayed by 0..jitterMs besides, in order, as TCP keeps it. The
// gateway's answers pass at once. Seeded, so a run is repeatable.
//   node devkit/wifi_front.mjs DATA_HOME PORT GATEWAY_PORT STALL_MS [JITTER_MS] [EVERY_MS]
// serves until killed and prints "ready" once it listens; or import wifiFront().
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import tls from 'node:tls';

// splitmix32: the same stalls on every machine for a seed.
function random(seed) {
  return () => {
    seed = (seed + 0x9e3779b9) | 0;
    let z = seed;
    z = Math.imul(z ^ (z >>> 16), 0x85ebca6b);
    z = Math.imul(z ^ (z >>> 13), 0xc2b2ae35);
    return ((z ^ (z >>> 16)) >>> 0) / 2 ** 32;
  };
}

// When the link is awake again for bytes that reach it at `at` (ms): a stall
// of stallMs/2..stallMs starts every everyMs/2..everyMs*3/2, the first within
// a second and a half of the start (power-save begins at once).
export function stallSchedule({ stallMs, everyMs = 3000, seed = 1, start = 0 }) {
  const draw = random(seed);
  let begins = start + 500 + 1000 * draw();
  let ends = begins + stallMs * (0.5 + draw() / 2);
  return (at) => {
    while (at >= ends) {
      begins = ends + everyMs * (0.5 + draw());
      ends = begins + stallMs * (0.5 + draw() / 2);
    }
    return stallMs > 0 && at >= begins ? ends : at;
  };
}

export function wifiFront({ dataHome, port, gatewayPort, stallMs, jitterMs = 30, everyMs = 3000, seed = 1 }) {
  const folder = join(dataHome, 'tarnwell');
  const front = { server: null };
  const jitter = random(seed + 1);
  front.server = tls.createServer({ key: readFileSync(join(folder, 'key.pem')),
                                    cert: readFileSync(join(folder, 'certs', '127.0.0.1.pem')) }, (phone) => {
    const gateway = tls.connect({ host: '127.0.0.1', port: gatewayPort, rejectUnauthorized: false });
    const awake = stallSchedule({ stallMs, everyMs, seed, start: performance.now() });
    let last = 0; // the release time of the previous piece: order is kept
    phone.on('data', (bytes) => {
      const now = performance.now();
      const release = Math.max(last, awake(now + jitter() * jitterMs));
      last = release;
      setTimeout(() => gateway.write(bytes), release - now);
    });
    gateway.on('data', (bytes) => phone.write(bytes));
    for (const [a, b] of [[phone, gateway], [gateway, phone]]) {
      a.on('error', () => {});
      a.on('close', () => setTimeout(() => b.destroy(), Math.max(0, last - performance.now())));
    }
  });
  return new Promise((ready) => front.server.listen(port, '127.0.0.1', () => ready(front)));
}

if (import.meta.url === `file://${process.argv[1]}`) {
  const [dataHome, port, gatewayPort, stallMs, jitterMs = 30, everyMs = 3000] = process.argv.slice(2);
  await wifiFront({ dataHome, port: Number(port), gatewayPort: Number(gatewayPort), stallMs: Number(stallMs),
                    jitterMs: Number(jitterMs), everyMs: Number(everyMs) });
  console.log('ready');
}
