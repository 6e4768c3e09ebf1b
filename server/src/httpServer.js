// HTTP front: routing, bearer token, body limit, JSON parsing, answers and the access log.
// Every answer is a JSON object; a rejection carries { success: false, reason }.
import { createHash, timingSafeEqual } from 'node:crypto';
import http from 'node:http';
import { RequestError } from './validate.js';

const HEALTH_PATH = '/healthz';
const digest = (text) => createHash('sha256').update(text).digest();

function send(res, status, body, headers = {}) {
  const payload = JSON.stringify(body);
  res.writeHead(status, {
    'Content-Type': 'application/json; charset=utf-8',
    'Content-Length': Buffer.byteLength(payload),
    'Cache-Control': 'no-store',
    ...headers,
  });
  res.end(payload);
}

// Reads the whole body. A body larger than `limit` is read to its end and discarded, so that the
// client, still sending, receives the 413 answer instead of a reset connection. Only a body
// declared (or turning out) larger than 16 x limit is refused at once and the connection closed.
function readBody(req, limit) {
  return new Promise((resolve, reject) => {
    const tooLarge = () => new RequestError(413, `request body is larger than ${limit} bytes`);
    if (Number(req.headers['content-length']) > 16 * limit) {
      reject(Object.assign(tooLarge(), { closeConnection: true }));
      return;
    }
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size <= limit) chunks.push(chunk);
      else if (size > 16 * limit) req.destroy();
    });
    req.on('end', () => (size > limit ? reject(tooLarge()) : resolve(Buffer.concat(chunks))));
    req.on('error', reject);
    req.on('close', () => reject(new RequestError(400, 'request body ended early')));
  });
}

function parseJsonObject(buffer) {
  let value;
  try {
    value = JSON.parse(buffer.toString('utf8'));
  } catch {
    throw new RequestError(400, 'body is not valid JSON');
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    throw new RequestError(400, 'body is not a JSON object');
  }
  return value;
}

/**
 * Creates (does not start) the HTTP server. `handlers` maps an exact path to an async function
 * of the parsed body returning { status, body }.
 */
export function createHttpServer({ config, handlers, log }) {
  const tokenDigest = config.apiToken ? digest(config.apiToken) : undefined;

  function authorized(req) {
    if (!tokenDigest) return true;
    const match = /^Bearer (.+)$/.exec(req.headers.authorization ?? '');
    // Digests have equal length, so the comparison time does not reveal the token's length.
    return Boolean(match) && timingSafeEqual(digest(match[1].trim()), tokenDigest);
  }

  async function answer(req, res, path) {
    // Liveness for load balancers and the test stack: no token, no storage call, so it answers
    // whenever the event loop runs.
    if (path === HEALTH_PATH) {
      if (req.method !== 'GET' && req.method !== 'HEAD') {
        return send(res, 405, { success: false, reason: 'only GET is allowed' },
          { Allow: 'GET, HEAD' });
      }
      return send(res, 200, { success: true, status: 'ok' });
    }
    const handler = Object.hasOwn(handlers, path) ? handlers[path] : undefined;
    if (!handler) return send(res, 404, { success: false, reason: 'no such endpoint' });
    if (req.method !== 'POST') {
      return send(res, 405, { success: false, reason: 'only POST is allowed' }, { Allow: 'POST' });
    }
    if (!authorized(req)) {
      return send(res, 401, { success: false, reason: 'missing or wrong bearer token' },
        { 'WWW-Authenticate': 'Bearer' });
    }
    const body = parseJsonObject(await readBody(req, config.maxBodyBytes));
    const result = await handler(body);
    return send(res, result.status, result.body);
  }

  const server = http.createServer((req, res) => {
    const started = process.hrtime.bigint();
    // Only the path is logged, shortened: queries and headers may carry secrets.
    const path = (req.url ?? '').split('?')[0];
    const shown = path.length > 200 ? `${path.slice(0, 200)}...` : path;
    res.on('finish', () => {
      const ms = Number(process.hrtime.bigint() - started) / 1e6;
      // Health checks come every few seconds from every balancer: only at debug level.
      (path === HEALTH_PATH ? log.debug : log.info)(
        `${req.method} ${shown} ${res.statusCode} ${ms.toFixed(1)}ms`);
    });
    answer(req, res, path).catch((error) => {
      if (res.headersSent) {
        res.destroy();
        return;
      }
      if (error instanceof RequestError) {
        // A completion with a foreign authorization is worth a warning: instances that do
        // not share AUTH_SECRET refuse each other's uploads this way.
        (error.status === 403 ? log.warn : log.debug)(
          `${req.method} ${shown} rejected: ${error.message}`);
        const headers = error.closeConnection ? { Connection: 'close' } : {};
        send(res, error.status, { success: false, reason: error.message }, headers);
        return;
      }
      log.error(`${req.method} ${shown} failed: ${error?.stack ?? error}`);
      send(res, 500, { success: false, reason: 'internal server error' });
    });
  });
  // Requests are small; a client that takes longer than this is dropped.
  server.requestTimeout = 30000;
  server.headersTimeout = 15000;
  return server;
}
