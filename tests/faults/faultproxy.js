#!/usr/bin/env node
// A forward HTTP proxy for the fault tests: libcurl sends every request of the plugin here
// (http_proxy), in absolute form, and the proxy passes it on unchanged (the Host header stays,
// so pre-signed URLs keep their signatures) unless a rule injects a fault.
// Argument: the rules, a JSON array of RULE. The proxy exits when its standard input ends.
// Standard output: {"event":"listening","port":P}, then per request {"event":E,"kind":K,
// "part":n,"remote":R}, E being "request" (headers, and an API request's body, arrived; an API
// request's adds "fields", the names in its JSON body), "held"
// (a stall or pause began), "answered" (the answer went out whole) or "aborted" (the connection
// closed before). While the proxy does not read it cannot see the client's close: only the
// client's own timing tells when it gave up. K is classify()'s, R the job's remote path (an API
// request's "remotePath", a PUT's object key); no query string (a signature) is ever printed.
// RULE: {"kind":K, "part":n, "match":"text", "body":"text", "times":n, "action":A, "value":v,
//   "holdMs":h, "edit":E} matches requests of kind K (and part n, unless 0) whose remote path
//   contains "match" (and, for an API request, whose body contains "body", unless empty); the
//   first "times" of them per remote path (all when negative) get the action:
//   "status"      read the body, answer status v (a JSON refusal or an S3 error document);
//                 with holdMs, hold the answer that long first
//   "reset"       after half the body, reset the connection
//   "close"       read the body, close the connection without an answer
//   "stall"       after v body bytes (all when 0) stop reading; never answer
//   "pause"       after half the body stop reading for v ms, then pass the request on
//   "delayAnswer" pass the request on, hold its answer v ms
//   "flip"        pass the request on with the byte in the middle of its body inverted
//   "rewrite"     pass the request on, replace its answer by E: "notJson", "noData",
//                 "refusalNoData", "otherUploadId", "status503", "noAnswer",
//                 or, for a PUT, "noEtag" (the storage's answer without its ETag header)
'use strict';
const http = require('http');
const { Readable, Transform, Writable } = require('stream');

const rules = JSON.parse(process.argv[2] ?? '[]').map((rule) => ({ ...rule, seen: new Map() }));

const emit = (event) => process.stdout.write(`${JSON.stringify(event)}\n`);

function classify(method, url) {
  const path = url.pathname;
  if (method === 'POST' && path.endsWith('/api/bucket/fileuploadurl')) return 'fileuploadurl';
  if (method === 'POST' && path.endsWith('/bucket/initmultipart')) return 'initmultipart';
  if (method === 'POST' && path.endsWith('/bucket/completemultipart')) return 'completemultipart';
  if (method === 'PUT') return url.searchParams.has('partNumber') ? 'part' : 'put';
  return 'other';
}

// The object key of a path-style storage URL: the path without its bucket.
const objectKey = (url) => decodeURIComponent(url.pathname.split('/').slice(2).join('/'));

function pickRule(info, body = '') {
  for (const rule of rules) {
    const other = rule.kind !== info.kind || (rule.part && rule.part !== info.part);
    if (other || !info.remote.includes(rule.match) || !body.includes(rule.body ?? '')) continue;
    const seen = rule.seen.get(info.remote) ?? 0;
    rule.seen.set(info.remote, seen + 1);
    return rule.times < 0 || seen < rule.times ? rule : null;
  }
  return null;
}

// Counts body bytes on their way through; at `afterBytes` calls `onPoint(release)` once and
// holds the bytes until `release` is called (never, for a stall).
function bodyGate(afterBytes, onPoint) {
  let seen = 0;
  let reached = false;
  return new Transform({
    transform(chunk, encoding, done) {
      seen += chunk.length;
      if (reached || seen < afterBytes) return done(null, chunk);
      reached = true;
      onPoint(() => done(null, chunk));
    },
    flush(done) {
      if (reached) return done();
      reached = true; // a body shorter than the point: the hold starts at its end
      onPoint(() => done());
    },
  });
}

// Passes a body on with its byte at `position` inverted: damage on the way.
function flipByteAt(position) {
  let seen = 0;
  return new Transform({
    transform(chunk, encoding, done) {
      if (position >= seen && position < seen + chunk.length) {
        chunk = Buffer.from(chunk);
        chunk[position - seen] ^= 0xff;
      }
      seen += chunk.length;
      done(null, chunk);
    },
  });
}

const nullSink = () => new Writable({ write(chunk, encoding, done) { done(); } });

// A JSON refusal for the cloud server's requests, an S3 error document for the storage's.
function refusal(kind, status) {
  if (kind !== 'put' && kind !== 'part') {
    return ['application/json', JSON.stringify({ success: false, reason: `injected ${status}` })];
  }
  return ['application/xml', `<?xml version="1.0" encoding="UTF-8"?><Error><Code>Injected${status}`
    + '</Code><Message>injected by the fault proxy</Message></Error>'];
}

function send(res, status, type, text) {
  if (res.destroyed) return;
  res.writeHead(status, { 'content-type': type, 'content-length': Buffer.byteLength(text) });
  res.end(text);
}

function edited(edit, status, body) {
  let answer = {};
  try { answer = JSON.parse(body); } catch { /* not JSON: edited as an empty answer */ }
  switch (edit) {
    case 'notJson': return [200, 'text/html', '<html><body>Bad gateway page</body></html>'];
    case 'noData': delete answer.data; break;
    case 'refusalNoData': answer = { success: false, reason: 'injected refusal' }; break;
    case 'otherUploadId': if (answer.data) answer.data.uploadid = 'another-upload-id'; break;
    case 'status503': return [503, 'application/json', '{"success":false,"reason":"injected"}'];
    default: throw new Error(`unknown edit ${edit}`);
  }
  return [status, 'application/json', JSON.stringify(answer)];
}

function handle(req, res) {
  let url;
  try {
    url = new URL(req.url);
  } catch {
    send(res, 400, 'text/plain', 'absolute URLs only: this is a forward proxy\n');
    return;
  }
  const kind = classify(req.method, url);
  const part = kind === 'part' ? Number(url.searchParams.get('partNumber')) : 0;
  const info = { kind, part, remote: kind === 'put' || kind === 'part' ? objectKey(url) : '' };
  const hold = () => emit({ event: 'held', ...info });
  res.on('close', () => emit({ event: res.writableFinished ? 'answered' : 'aborted', ...info }));

  const headers = { ...req.headers };
  for (const name of ['proxy-connection', 'connection', 'keep-alive', 'proxy-authorization']) {
    delete headers[name];
  }

  // Passes the request on with `body` (a stream or a buffer); the answer goes to `onAnswer`
  // (status, headers, body buffer) or, without it, straight back to the client.
  const forward = (body, onAnswer) => {
    const upstream = http.request({
      host: url.hostname, port: url.port || 80, method: req.method,
      path: url.pathname + url.search, headers, agent: false,
    }, (answer) => {
      if (!onAnswer) {
        const out = { ...answer.headers };
        delete out.connection;
        delete out['keep-alive'];
        delete out['transfer-encoding'];
        res.writeHead(answer.statusCode, out);
        answer.pipe(res);
        return;
      }
      const chunks = [];
      answer.on('data', (chunk) => chunks.push(chunk));
      answer.on('end', () => onAnswer(answer.statusCode, answer.headers, Buffer.concat(chunks)));
    });
    upstream.on('error', () => res.destroy());
    res.on('close', () => upstream.destroy());
    if (Buffer.isBuffer(body)) upstream.end(body);
    else body.pipe(upstream);
  };

  const apply = (rule, body, fields) => {
    const action = rule ? rule.action : 'forward';
    emit({ event: 'request', ...info, ...(fields ? { fields } : {}) });
    // `body` is a buffer (API requests, read already) or the request stream (PUTs).
    const stream = () => (Buffer.isBuffer(body) ? Readable.from([body]) : body);
    const length = Number(req.headers['content-length'] ?? 0);
    const half = Math.floor(length / 2);
    switch (action) {
      case 'forward':
        forward(body);
        return;
      case 'status':
        stream().pipe(nullSink()).on('finish', () => {
          const answer = () => send(res, rule.value, ...refusal(kind, rule.value));
          if (!rule.holdMs) return answer();
          hold();
          setTimeout(answer, rule.holdMs);
        });
        return;
      case 'close':
        stream().pipe(nullSink()).on('finish', () => req.socket.destroy());
        return;
      case 'reset':
        stream().pipe(bodyGate(half, () => req.socket.resetAndDestroy())).pipe(nullSink());
        return;
      case 'stall':
        stream().pipe(bodyGate(rule.value || length, () => hold())).pipe(nullSink());
        return;
      case 'pause':
        forward(stream().pipe(bodyGate(half, (release) => {
          hold();
          setTimeout(release, rule.value);
        })));
        return;
      case 'flip':
        forward(stream().pipe(flipByteAt(half)));
        return;
      case 'delayAnswer':
        forward(body, (status, answerHeaders, answer) => {
          hold();
          setTimeout(() => send(res, status, answerHeaders['content-type'] ?? 'text/plain',
            answer.toString()), rule.value);
        });
        return;
      case 'rewrite':
        forward(body, (status, answerHeaders, answer) => {
          if (rule.edit === 'noAnswer') {
            req.socket.destroy();
            return;
          }
          if (rule.edit === 'noEtag') {
            const out = { ...answerHeaders, 'content-length': answer.length };
            for (const name of ['etag', 'connection', 'keep-alive', 'transfer-encoding']) {
              delete out[name];
            }
            res.writeHead(status, out);
            res.end(answer);
            return;
          }
          send(res, ...edited(rule.edit, status, answer.toString()));
        });
        return;
      default:
        throw new Error(`unknown action ${action}`);
    }
  };

  if (kind === 'put' || kind === 'part' || kind === 'other') {
    apply(pickRule(info), req);
    return;
  }
  // API requests: the job's remote path is in the body.
  const chunks = [];
  req.on('data', (chunk) => chunks.push(chunk));
  req.on('end', () => {
    const body = Buffer.concat(chunks);
    let fields = [];
    try {
      const json = JSON.parse(body.toString());
      info.remote = String(json.remotePath ?? '');
      fields = Object.keys(json);
    } catch { /* not JSON: no remote path, no fields */ }
    apply(pickRule(info, body.toString()), body, fields);
  });
}

const server = http.createServer(handle);
server.requestTimeout = 0;
server.keepAliveTimeout = 30000;
server.listen(0, '127.0.0.1', () => emit({ event: 'listening', port: server.address().port }));
process.stdin.on('end', () => process.exit(0)).resume();
