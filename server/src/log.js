// Line logger on stderr; stdout is kept for the machine-readable LISTENING line.
import { LOG_LEVELS } from './config.js';

export function createLogger(level = 'info', stream = process.stderr) {
  const limit = LOG_LEVELS.indexOf(level);
  const logger = {};
  for (const [rank, name] of LOG_LEVELS.entries()) {
    logger[name] = rank <= limit
      ? (message) => stream.write(`${new Date().toISOString()} ${name} ${message}\n`)
      : () => {};
  }
  return logger;
}
