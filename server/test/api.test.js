// End-to-end tests of the three endpoints: dev.js (the server and the local storage) runs as a
// child process on free loopback ports and is reached over real HTTP.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import { once } from 'node:events';
import { mkdtempSync, readdirSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { after, before, it } from 'node:test';

const [UPLOAD_URL, INIT, COMPLETE] = ['/api/bucket/fileuploadurl',
  '/coscenter/v1/bucket/initmultipart', '/coscenter/v1/bucket/completemultipart'];
const TOKEN = 'test-token-0123456789';
const dir = mkdtempSync(path.join(os.tmpdir(), 'vx-server-test-'));
let [stack, url, log] = [null, null, ''];
before(async () => {
  stack = spawn(process.execPath, ['dev.js', '--dir', dir, '--exit-with-stdin'], {
    // A stack that does not stop by itself is killed, and fails the exit check in after().
    cwd: new URL('..', import.meta.url), timeout: 60000, killSignal: 'SIGKILL',
    env: { ...process.env, API_TOKEN: TOKEN, AUTH_SECRET: 'test-secret-0123456789',
      LOG_LEVEL: 'debug' } });
  stack.stderr.on('data', (data) => { log += data; });
  for await (const line of createInterface({ input: stack.stdout })) {
    if (line.startsWith('LISTENING ')) { url = line.slice(10); break; }
  }
  assert.ok(url, `dev.js did not start:\n${log}`);
}, { timeout: 15000 });
after(async () => {
  // The stack, storage included, stops when its input ends, and wrote only below --dir.
  stack.stdin.end();
  assert.deepEqual(await once(stack, 'exit'), [0, null]);
  assert.deepEqual(readdirSync(dir), ['storage']);
  rmSync(dir, { recursive: true, force: true });
});

async function call(api, body, token = TOKEN) {
  const response = await fetch(url + api, { method: 'POST',
    headers: token ? { Authorization: `Bearer ${token}` } : {},
    body: typeof body === 'string' ? body : JSON.stringify(body) });
  return { status: response.status, json: await response.json() };
}
/** With `bytes`, PUTs them and resolves the ETag; without, GETs and resolves the bytes. */
async function transfer(presignedUrl, bytes) {
  const response = await fetch(presignedUrl, { method: bytes ? 'PUT' : 'GET', body: bytes });
  assert.equal(response.status, 200, `${bytes ? 'PUT' : 'GET'} answer`);
  return bytes ? response.headers.get('etag').replace(/"/g, '')
    : Buffer.from(await response.arrayBuffer());
}
// The plugin sends more fields than the server reads; they must be accepted.
const job = (remotePath, more) => ({ bucket: 'uploads', remotePath, path: remotePath,
  localPath: `/home/u/${remotePath}`, uploadMethod: 'sliceUpload', ...more });
const pathinfo = (etags) => etags.map((etag, i) => `${i + 1},${etag}`).join(';');
async function initMultipart(remotePath, partcount) {
  const { status, json } = await call(INIT, job(remotePath, { partcount: String(partcount) }));
  assert.equal(status, 200);
  return json.data;
}

it('single upload: the URLs store and return the bytes', async () => {
  // Spaces, "+" and non-ASCII letters must survive the signing of both URLs.
  const { json } = await call(UPLOAD_URL, job('docs/ünï cödé+1.bin'));
  const bytes = randomBytes(200 * 1024);
  await transfer(json.data.uploadUrl, bytes);
  assert.deepEqual(await transfer(json.data.downloadUrl), bytes);
});

it('multipart: assembles parts PUT out of order; a 403 aborts nothing', async () => {
  const data = await initMultipart('big/three.bin', 3);
  // The local storage does not enforce S3's 5 MiB minimum for all but the last part.
  const parts = [randomBytes(300 * 1024), randomBytes(300 * 1024), randomBytes(1234)];
  const e3 = await transfer(data.partUrl[2], parts[2]);
  const e1 = await transfer(data.partUrl[0], parts[0]);
  const other = await initMultipart('big/other.bin', 3);
  const complete = (changes) => call(COMPLETE, { ...job('big/three.bin'), bucketName: 'uploads',
    uploadid: data.uploadid, authorization: data.authorization, ...changes });
  for (const [changes, reason] of [[{ authorization: other.authorization }, /does not match/],
    [{ remotePath: 'big/other.bin' }, /does not match/],
    [{ authorization: 'v1.3.1.x' }, /malformed/]]) {
    const { status, json } = await complete({ pathinfo: pathinfo([e1, e1, e3]), ...changes });
    assert.deepEqual([status, reason.test(json.reason)], [403, true], JSON.stringify(json));
  }
  // A repeated completion: storage.test.js.
  const etags = [e1, await transfer(data.partUrl[1], parts[1]), e3];
  const { json } = await complete({ pathinfo: pathinfo(etags) });
  assert.deepEqual([json.success, json.data.uploadid], [true, data.uploadid]);
  assert.deepEqual(await transfer(json.data.Location), Buffer.concat(parts));
});

it('multipart: a refused completion names the upload and aborts it', async () => {
  for (const [pathInfo, reason] of [
    [([e1, , e3]) => pathinfo([e1, e1, e3]), /part 2 was never uploaded/],
    [([e1, , e3]) => pathinfo([e3, e1, e3]), /part 1 has ETag/],
    [([e1, , e3]) => `1,${e1};3,${e3}`, /must be 1..n/],
    [([e1]) => `1,${e1}`, /1 parts, the upload has 3/],
    [([e1, , e3]) => `1:${e1};2,${e1};3,${e3}`, /number,etag/],
    [([e1, , e3]) => `1,"${e1}";2,${e1};3,${e3}`, /no usable ETag/],
  ]) {
    const data = await initMultipart('big/refused.bin', 3);
    const etags = [await transfer(data.partUrl[0], randomBytes(1024)), undefined,
      await transfer(data.partUrl[2], randomBytes(10))];
    const complete = (info) => call(COMPLETE, { ...job('big/refused.bin'), pathinfo: info,
      uploadid: data.uploadid, authorization: data.authorization });
    const { status, json } = await complete(pathInfo(etags));
    // The upload id is echoed, so that the client finds the job again.
    assert.deepEqual([status, reason.test(json.reason), json.data?.uploadid],
      [200, true, data.uploadid], JSON.stringify(json));
    const probe = await complete(pathinfo([etags[0], etags[0], etags[2]]));
    assert.match(probe.json.reason, /NoSuchUpload/, `${reason}: upload not aborted`);
  }
});

it('rejects bad requests (400, 401, 404, 405, 413), accepts 10000 parts', async () => {
  const init = (partcount) => job('a.bin', { partcount });
  for (const [status, body, api = UPLOAD_URL, token = TOKEN] of [
    [401, job('a'), UPLOAD_URL, ''], [401, job('a'), UPLOAD_URL, 'nope'],
    [401, job('a'), UPLOAD_URL, TOKEN.slice(0, -1)], [400, '{"bucket":'], [400, 'null'],
    [400, { remotePath: 'a' }], [400, job('a', { bucket: 7 })], [400, job('/etc/passwd')],
    [400, job('a', { bucket: 'forbidden' })], [400, job('a/../b')], [400, job('a//b')],
    [400, job('é'.repeat(513))], [400, init('0'), INIT], [400, init('10001'), INIT],
    [400, init('abc'), INIT], [400, init(2), INIT], [400, job('a'), INIT],
    [400, job('a', { authorization: 'x', pathinfo: '1,x' }), COMPLETE],
    [404, {}, '/api/bucket/other'], [404, {}, `${UPLOAD_URL}/`],
    [413, job('a', { pad: 'x'.repeat(1024 * 1024) })],
  ]) {
    const { status: got, json } = await call(api, body, token);
    assert.deepEqual([got, json.success], [status, false],
      [status, api, JSON.stringify(body).slice(0, 50), token].join(' '));
  }
  const get = await fetch(url + INIT, { headers: { Authorization: `Bearer ${TOKEN}` } });
  assert.deepEqual([get.status, get.headers.get('allow')], [405, 'POST']);
  const { partUrl } = await initMultipart('big/max.bin', 10000);
  assert.equal(new URL(partUrl.at(-1)).searchParams.get('partNumber'), '10000');
});

it('logs requests without URLs, signatures or tokens, even at debug level', () => {
  assert.match(log, /POST \/coscenter\/v1\/bucket\/completemultipart 403 \d/);
  assert.match(log, / warn completion refused: part 2 was never uploaded \(upload [0-9a-f]+\)/);
  assert.doesNotMatch(log, /X-Amz-|Signature|test-token|test-secret|http:\/\//);
});
