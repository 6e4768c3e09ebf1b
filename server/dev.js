#!/usr/bin/env node
// Development stack: the local storage and the server in one process, both on 127.0.0.1, for
// the demo and the end-to-end tests. One process means nothing can be orphaned by a crash.
//
//   node dev.js [--dir DIR] [--port 0] [--storage-port 0] [--min-part-size BYTES]
//               [--exit-with-stdin] [--parent-pid PID]
//
// Prints, once both listen: "STORAGE <url>", "BUCKETS <a,b>", "LISTENING <server url>".
// Writes only below DIR; without --dir it uses a new temporary directory, removed at exit.
// The server's other settings (API_TOKEN, AUTH_SECRET, S3_BUCKETS, URL_EXPIRES_SECONDS,
// LOG_LEVEL, ...) come from the environment as for src/main.js; the storage ones are set here.
import { mkdtempSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { startServer } from './src/app.js';
import { ConfigError, loadConfig } from './src/config.js';
import { parseArgs, stopOnSignals } from './src/lifetime.js';
import { createLogger } from './src/log.js';
import { STORAGE_CREDENTIALS, startStorage } from './storage.js';

async function main() {
  const options = parseArgs(process.argv.slice(2), {
    dir: 'value', port: 'value', 'storage-port': 'value', 'min-part-size': 'value',
    'exit-with-stdin': 'flag', 'parent-pid': 'value',
  });
  const ownDir = !options.dir;
  const dir = ownDir ? mkdtempSync(path.join(os.tmpdir(), 'vx-dev-stack-'))
    : path.resolve(options.dir);
  const removeOwnDir = () => { if (ownDir) rmSync(dir, { recursive: true, force: true }); };

  const buckets = process.env.S3_BUCKETS || 'uploads';
  let storage;
  let server;
  try {
    storage = await startStorage({
      directory: path.join(dir, 'storage'),
      port: Number(options['storage-port'] ?? 0),
      // 5242880 makes the storage refuse small parts at completion as AWS S3 and Ceph do.
      minPartSize: Number(options['min-part-size'] ?? 0),
      buckets: buckets.split(',').map((b) => b.trim()).filter(Boolean),
    });
    const config = loadConfig({
      ...process.env,
      LISTEN_HOST: '127.0.0.1',
      LISTEN_PORT: options.port ?? process.env.LISTEN_PORT ?? '0',
      S3_ENDPOINT: storage.url,
      S3_PUBLIC_ENDPOINT: '',
      S3_REGION: 'us-east-1',
      S3_ACCESS_KEY_ID: STORAGE_CREDENTIALS.accessKeyId,
      S3_SECRET_ACCESS_KEY: STORAGE_CREDENTIALS.secretAccessKey,
      S3_FORCE_PATH_STYLE: 'true',
      S3_BUCKETS: buckets,
      S3_CREATE_BUCKETS: 'false',
    });
    server = await startServer(config, createLogger(config.logLevel));
  } catch (error) {
    await storage?.close();
    removeOwnDir();
    throw error;
  }
  stopOnSignals(async () => {
    await server.close();
    await storage.close();
    removeOwnDir();
  }, { exitWithStdin: options['exit-with-stdin'], parentPid: Number(options['parent-pid']) || 0 });
  process.stdout.write(`STORAGE ${storage.url}\nBUCKETS ${buckets}\nLISTENING ${server.url}\n`);
}

main().catch((error) => {
  process.stderr.write(`cannot start: ${error instanceof ConfigError ? error.message
    : error?.stack ?? error}\n`);
  process.exit(2);
});
