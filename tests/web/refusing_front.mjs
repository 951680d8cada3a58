// A front that refuses every WebSocket upgrade at once and passes everything
// else to the gateway: what a proxy that cannot carry WebSockets does to the
// page. TLS with the gateway's own certificate.
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import tls from 'node:tls';

export function refusingFront(dataHome, port, gatewayPort) {
  const folder = join(dataHome, 'tarnwell');
  const front = { refused: 0, server: null };
  front.server = tls.createServer({ key: readFileSync(join(folder, 'key.pem')),
                                    cert: readFileSync(join(folder, 'certs', '127.0.0.1.pem')) }, (phone) => {
    let head = Buffer.alloc(0);
    phone.on('error', () => {});
    const onData = (bytes) => {
      head = Buffer.concat([head, bytes]);
      const end = head.indexOf('\r\n\r\n');
      if (end < 0) return;
      phone.off('data', onData);
      phone.pause(); // until the gateway's side is up; pipe() resumes it
      if (/^upgrade:\s*websocket\s*$/im.test(head.subarray(0, end).toString('latin1'))) {
        front.refused++;
        phone.destroy();
        return;
      }
      const gateway = tls.connect({ host: '127.0.0.1', port: gatewayPort, rejectUnauthorized: false }, () => {
        gateway.write(head);
        phone.pipe(gateway).pipe(phone);
      });
      gateway.on('error', () => phone.destroy());
      gateway.on('close', () => phone.destroy());
      phone.on('close', () => gateway.destroy());
    };
    phone.on('data', onData);
  });
  return new Promise((ready) => front.server.listen(port, '127.0.0.1', () => ready(front)));
}
