// The agent as the Node tests start it: a private fontconfig world and a loopback socket bound
// here and passed to the agent as systemd passes one (descriptor 3, LISTEN_FDS, LISTEN_PID), so
// that its port is known before it starts and no test probes for a free one. Stopped by its pid.

import {spawn} from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

/** A loopback server listening at a port the kernel chose; its socket is what is passed. */
function listening() {
  return new Promise((resolve, reject) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => resolve(server))
      .on('error', reject);
  });
}

/**
 * Starts `binary` on the fonts `fixtures` names ({fixture path: name in the font folder},
 * copied from `fixtureDir`). Resolves to {url, port, root, fontPath(name), stop()}.
 */
export async function startAgent(binary, fixtureDir, fixtures) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-node-'));
  for (const [fixture, name] of Object.entries(fixtures)) {
    fs.mkdirSync(path.dirname(path.join(root, 'fonts', name)), {recursive: true});
    fs.copyFileSync(path.join(fixtureDir, fixture), path.join(root, 'fonts', name));
  }
  fs.mkdirSync(path.join(root, 'cache'));
  fs.writeFileSync(path.join(root, 'fonts.conf'), '<?xml version="1.0"?>\n<fontconfig>' +
                   `<dir>${root}/fonts</dir><cachedir>${root}/cache</cachedir></fontconfig>\n`);
  const server = await listening();
  const {port} = server.address();
  // Only the child knows its pid: a shell sets LISTEN_PID and then becomes the agent. Node
  // keeps the socket's descriptor on its handle; the child gets its own copy as descriptor 3.
  const child = spawn('/bin/sh', ['-c', 'LISTEN_PID=$$ LISTEN_FDS=1 exec "$0"', binary], {
    env: {...process.env, FONTCONFIG_FILE: path.join(root, 'fonts.conf'), LC_ALL: 'C'},
    stdio: ['ignore', 'ignore', 'ignore', server._handle.fd],
  });
  // Closed before the event loop runs again, so this process never accepts a connection.
  server.close();
  const exited = new Promise((resolve) => child.once('exit', resolve));
  return {
    url: `http://127.0.0.1:${port}/`,
    port,
    root,
    fontPath: (name) => path.join(root, 'fonts', name),
    async stop() {
      if (child.exitCode === null && child.signalCode === null) {
        process.kill(child.pid, 'SIGTERM');
        await exited;
      }
      fs.rmSync(root, {recursive: true, force: true});
    },
  };
}

/** An address where nothing answers: a loopback port that was free a moment ago (Node cannot
 * hold a port without listening on it). */
export async function silentAddress() {
  const server = await listening();
  const {port} = server.address();
  await new Promise((resolve) => server.close(resolve));
  return `http://127.0.0.1:${port}/`;
}
