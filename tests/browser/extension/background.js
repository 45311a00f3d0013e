// The scripted exchange with melvixhost, the same in Chromium and Firefox. Every message sent and
// received is reported, with the milliseconds since the start, to the test's server on 127.0.0.1,
// which also plugs devices in through the control directory and watches the host's process.
const api = globalThis.browser ?? globalThis.chrome;
const kHost = 'com.tarnwell.melvix_midi';
const kLoopback = 'Melvix Loopback';
const kOddName = 'Odd <"\\é\u{1F3B9}> Port';  // a port name JSON and UTF-16 must both carry
const kWaitMs = 10000;  // for each awaited message; a loaded machine starts a host slowly
const start = Date.now();
let server;

// Posts go one after another, so the server sees them in the order they were made.
let posted = Promise.resolve();
function post(path, body) {
  const send = async () => {
    const response = await fetch(server + path, { method: 'POST', body: JSON.stringify(body) });
    const text = await response.text();
    if (!response.ok) throw new Error(`${path}: ${text}`);
    return text;
  };
  const result = posted.then(send);
  posted = result.catch(() => {});
  return result;
}
const report = (kind, msg) => post('/report', { t: Date.now() - start, kind, msg });

// One native-messaging connection whose incoming messages are taken strictly in order.
class Session {
  constructor() {
    this.queue = [];
    this.port = api.runtime.connectNative(kHost);
    this.port.onMessage.addListener((msg) => {
      report('recv', msg);
      this.queue.push(msg);
      this.wake?.();
    });
    this.port.onDisconnect.addListener((port) => {
      const error = port.error?.message ?? api.runtime.lastError?.message ?? '';
      this.closed = `the host disconnected ${error}`;
      report('note', this.closed);
      this.wake?.();
    });
  }
  send(msg) {
    report('send', msg);
    this.port.postMessage(msg);
  }
  async next(what) {
    const deadline = Date.now() + kWaitMs;
    while (this.queue.length === 0) {
      if (this.closed) throw new Error(`${this.closed} while waiting for ${what}`);
      const left = deadline - Date.now();
      if (left <= 0) throw new Error(`no message within ${kWaitMs} ms, waiting for ${what}`);
      await new Promise((resolve) => {
        this.wake = resolve;
        setTimeout(resolve, left);
      });
    }
    return this.queue.shift();
  }
  async expect(want) {
    const got = await this.next(JSON.stringify(want));
    if (JSON.stringify(got) !== JSON.stringify(want)) {
      throw new Error(`expected ${JSON.stringify(want)}, got ${JSON.stringify(got)}`);
    }
  }
  async expectMidi(bytes) {
    const got = await this.next(`midi ${bytes.length} bytes`);
    const ok = got[0] === 'midi' && Number.isInteger(got[1]) &&
        JSON.stringify(got.slice(2)) === JSON.stringify(bytes);
    if (!ok) throw new Error(`expected ["midi",t,${bytes}], got ${JSON.stringify(got)}`);
  }
  async refresh() {
    this.send(['refresh']);
    const got = await this.next('the port lists');
    if (got[0] !== 'refresh' || !Array.isArray(got[1]?.ins) || !Array.isArray(got[1]?.outs)) {
      throw new Error(`expected the port lists, got ${JSON.stringify(got)}`);
    }
    return got[1];
  }
  // Ends the connection; the test then checks that the host's process is gone within 2 s.
  async disconnect() {
    await post('/disconnecting', {});
    this.port.disconnect();
    await report('note', 'disconnected');
    await post('/host-exited', {});
  }
}

function portNamed(list, name, direction) {
  const port = list.find((p) => p.name === name);
  if (!port) throw new Error(`${direction} ${JSON.stringify(name)} not listed`);
  return port.name;
}

async function exchange() {
  const host = new Session();
  host.send(['version']);
  await host.expect(['version', '1.5']);
  let lists = await host.refresh();
  portNamed(lists.outs, kLoopback, 'output');
  portNamed(lists.ins, kLoopback, 'input');
  host.send(['openout', kLoopback]);
  await host.expect(['openout', kLoopback]);
  host.send(['openin', kLoopback]);
  await host.expect(['openin', kLoopback]);

  host.send(['play', 144, 60, 100]);
  await host.expectMidi([144, 60, 100]);
  const sysex = [0xf0, ...Array.from({ length: 298 }, (_, i) => (i * 7) % 128), 0xf7];
  host.send(['play', ...sysex]);
  await host.expectMidi(sysex.slice(0, 256));  // one message per input buffer of 256 bytes
  await host.expectMidi(sysex.slice(256));

  host.send(['watch']);
  await report('note', 'plugging in an output and an input named ' + JSON.stringify(kOddName));
  const quoted = JSON.stringify(kOddName);
  await post('/control', `out ${quoted} loopback\nin ${quoted}`);
  await host.expect(['connection']);
  lists = await host.refresh();
  const outName = portNamed(lists.outs, kOddName, 'output');
  const inName = portNamed(lists.ins, kOddName, 'input');
  host.send(['unwatch']);
  // The input first: the loopback output, silenced as it is replaced, then sends to no open input.
  host.send(['openin', inName]);
  await host.expect(['openin', inName]);
  host.send(['openout', outName]);
  await host.expect(['openout', outName]);
  host.send(['play', 0x90, 0x3e, 0x40]);
  await host.expectMidi([0x90, 0x3e, 0x40]);

  host.send(['watch']);  // the host must end with an input port open and the watcher running
  await host.disconnect();

  const idle = new Session();  // and a host that did nothing but answer
  idle.send(['version']);
  await idle.expect(['version', '1.5']);
  await idle.disconnect();
}

(async () => {
  try {
    server = (await (await fetch(api.runtime.getURL('server.json'))).json()).url;
    await report('note', `started in ${navigator.userAgent}`);
    await exchange();
    await post('/done', { ok: true });
  } catch (error) {
    await post('/done', { ok: false, error: String(error?.message ?? error) }).catch(() => {});
  }
})();
