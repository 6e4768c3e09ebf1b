#!/usr/bin/env node
// Entry point of the server alone. Prints "LISTENING http://HOST:PORT" on stdout when ready.
// Options: --exit-with-stdin (stop when stdin closes), --parent-pid PID (stop when PID exits).
import { startServer } from './app.js';
import { ConfigError, loadConfig } from './config.js';
import { parseArgs, stopOnSignals } from './lifetime.js';
import { createLogger } from './log.js';

try {
  const options = parseArgs(process.argv.slice(2),
    { 'exit-with-stdin': 'flag', 'parent-pid': 'value' });
  const config = loadConfig();
  const log = createLogger(config.logLevel);
  const server = await startServer(config, log);
  stopOnSignals(server.close,
    { exitWithStdin: options['exit-with-stdin'], parentPid: Number(options['parent-pid']) || 0 });
  process.stdout.write(`LISTENING ${server.url}\n`);
} catch (error) {
  process.stderr.write(`cannot start: ${error instanceof ConfigError ? error.message
    : error?.stack ?? error}\n`);
  process.exit(2);
}
