// Resuming a multipart upload through the multipart start, against the local storage, with
// part listings of two parts a page so that a resume follows several pages.
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { after, before, it } from 'node:test';
import { loadConfig } from '../src/config.js';
import { createHandlers } from '../src/handlers.js';
import { createMultipartAuth } from '../src/multipartAuth.js';
import { createStorage } from '../src/s3.js';
import { STORAGE_CREDENTIALS, startStorage } from '../storage.js';

const [bucket, SECRET] = ['uploads', 'resume-test-secret-0123'];
const dir = mkdtempSync(path.join(os.tmpdir(), 'vx-resume-test-'));
const lines = [];
const log = Object.fromEntries(['error', 'warn', 'info', 'debug'].map(
  (level) => [level, (message) => lines.push(`${level} ${message}`)]));
// The authorizations' clock: a resume a few seconds later must carry a later expiry.
let clock = Date.now();
let local;
const storages = [];

/** The handlers over a storage client of their own, with these extra settings. */
function stack(env = {}) {
  const config = loadConfig({ S3_BUCKETS: bucket, S3_FORCE_PATH_STYLE: 'true',
    S3_ENDPOINT: local.url, S3_ACCESS_KEY_ID: STORAGE_CREDENTIALS.accessKeyId,
    S3_SECRET_ACCESS_KEY: STORAGE_CREDENTIALS.secretAccessKey, S3_LIST_PARTS_PAGE_SIZE: '2',
    ...env });
  const storage = createStorage(config);
  storages.push(storage);
  const handlers = createHandlers({ config, storage, log,
    auth: createMultipartAuth(SECRET, 600, () => clock) });
  const init = async (key, partcount, more) => {
    const { status, body } = await handlers['/coscenter/v1/bucket/initmultipart']({ bucket,
      remotePath: key, path: key, filename: path.basename(key), partcount: String(partcount),
      uploadMethod: 'sliceUpload', bc_bcode: 'b-1', ...more });
    assert.deepEqual([status, body.success], [200, true], JSON.stringify(body));
    assert.equal(body.data.partUrl.length, partcount);
    return body.data;
  };
  const complete = (key, uploadid, authorization, parts) => handlers[
    '/coscenter/v1/bucket/completemultipart']({ bucket, remotePath: key, uploadid,
    authorization, pathinfo: parts.map(({ etag }, i) => `${i + 1},${etag}`).join(';') });
  return { storage, handlers, init, complete };
}
let server;

before(async () => {
  local = await startStorage({ directory: dir, buckets: [bucket] });
  server = stack();
});
after(async () => {
  for (const storage of storages) storage.destroy();
  await local?.close();
  rmSync(dir, { recursive: true, force: true });
});

/** PUTs `bytes` to a part URL: { status, etag }. */
async function put(url, bytes) {
  const response = await fetch(url, { method: 'PUT', body: bytes });
  await response.arrayBuffer();
  return { status: response.status, etag: response.headers.get('etag')?.replace(/"/g, '') };
}
/** Stores part `number` (1-based) with `size` bytes; resolves the part as a resume lists it. */
async function storePart(partUrl, number, size) {
  const { status, etag } = await put(partUrl[number - 1], Buffer.alloc(size, number));
  assert.equal(status, 200, `PUT of part ${number}`);
  return { partNumber: number, etag, size };
}
const resumeLines = () => lines.filter((line) => / a new upload$/.test(line));

it('a resume answers the same upload, fresh URLs and authorization, and its parts', async () => {
  const key = 'resume/six.bin';
  const first = await server.init(key, 6);
  // Five parts over three pages of the listing, part 4 missing.
  const stored = [];
  for (const number of [1, 2, 3, 5, 6]) {
    stored.push(await storePart(first.partUrl, number, 1000 + number * 100));
  }
  let latest = first;
  for (const round of [1, 2]) {
    clock += 5000;
    const resumed = await server.init(key, 6,
      { uploadid: first.uploadid, authorization: latest.authorization });
    assert.equal(resumed.uploadid, first.uploadid, `resume ${round}`);
    assert.notEqual(resumed.authorization, latest.authorization, `resume ${round}`);
    assert.deepEqual(resumed.parts, stored, `resume ${round}`);
    latest = resumed;
  }
  const part4 = await storePart(latest.partUrl, 4, 1000);
  const parts = [...stored.slice(0, 3), part4, ...stored.slice(3)];
  // Completed with the latest authorization, then again with the first one: both are this
  // upload's, and a repeated completion of the same parts succeeds.
  for (const authorization of [latest.authorization, first.authorization]) {
    const { body } = await server.complete(key, first.uploadid, authorization, parts);
    assert.deepEqual([body.success, body.data.uploadid], [true, first.uploadid],
      JSON.stringify(body));
    const object = await fetch(body.data.Location);
    assert.equal(Buffer.from(await object.arrayBuffer()).length,
      parts.reduce((sum, part) => sum + part.size, 0));
  }
  assert.deepEqual(resumeLines(), []);
});

it('a resume the server cannot honour starts a new upload and says why', async () => {
  const key = 'resume/new.bin';
  const signedBy = (secret, now) => (upload) => createMultipartAuth(secret, 600, () => now)
    .sign({ uploadId: upload.uploadid, bucket, key, partCount: 2 });
  for (const [what, request, reason] of [
    ['an aborted upload', async (upload) => {
      assert.equal(await server.storage.abortMultipart(bucket, key, upload.uploadid), true);
      return {};
    }, 'unknown to the storage'],
    ['a completed upload', async (upload) => {
      const part = await storePart(upload.partUrl, 1, 10);
      const { body } = await server.complete(key, upload.uploadid, upload.authorization,
        [part, await storePart(upload.partUrl, 2, 10)]);
      assert.equal(body.success, true);
      return {};
    }, 'unknown to the storage'],
    ['a malformed authorization', () => ({ authorization: 'v1.2.1.x' }), 'is malformed)'],
    ['no authorization', () => ({ authorization: undefined }), 'is malformed)'],
    ['another upload\'s authorization', async () => ({
      authorization: (await server.init(key, 2)).authorization }), 'does not match'],
    ['another key', () => ({ remotePath: 'resume/other.bin' }), 'does not match'],
    ['another secret', (upload) => ({ authorization: signedBy('other-secret-01', clock)(upload) }),
      'does not match'],
    ['an expired authorization',
      (upload) => ({ authorization: signedBy(SECRET, clock - 3600_000)(upload) }), 'expired)'],
    ['another part count', () => ({ partcount: '3' }), 'started for 2 parts, not 3'],
  ]) {
    const old = await server.init(key, 2);
    const changes = await request(old);
    const before = lines.length;
    const answer = await server.init(changes.remotePath ?? key, Number(changes.partcount ?? 2),
      { uploadid: old.uploadid, authorization: old.authorization, ...changes });
    const ids = [];
    for await (const page of server.storage.multipartUploads(bucket)) ids.push(...page);
    assert.ok(answer.uploadid !== old.uploadid && answer.parts === undefined
      && ids.some((upload) => upload.uploadId === answer.uploadid), what);
    const said = lines.slice(before);
    assert.equal(said.length, 1, `${what}: ${said.join('\n')}`);
    assert.ok(said[0].startsWith('info ') && said[0].includes(`upload ${old.uploadid} `)
      && said[0].includes(reason) && said[0].endsWith(': a new upload'), `${what}: ${said[0]}`);
  }
});

it('part URLs of a few seconds expire, and a resume gives ones that work', async () => {
  const short = stack({ URL_EXPIRES_SECONDS: '2' });
  const key = 'resume/short.bin';
  const first = await short.init(key, 2);
  const part1 = await storePart(first.partUrl, 1, 100);
  // A URL is valid from the second it was signed in, for URL_EXPIRES_SECONDS.
  await sleep(3100);
  assert.equal((await put(first.partUrl[1], Buffer.alloc(10))).status, 403);
  const resumed = await short.init(key, 2,
    { uploadid: first.uploadid, authorization: first.authorization });
  assert.deepEqual([resumed.uploadid, resumed.parts], [first.uploadid, [part1]]);
  const part2 = await storePart(resumed.partUrl, 2, 10);
  const { body } = await short.complete(key, first.uploadid, resumed.authorization,
    [part1, part2]);
  assert.equal(body.success, true, JSON.stringify(body));
});

it('a storage failure while listing the parts is a 502, not a new upload', async () => {
  // A port nothing listens on: the storage cannot be reached.
  const closed = createServer().listen(0, '127.0.0.1');
  await new Promise((resolve) => closed.once('listening', resolve));
  const { port } = closed.address();
  await new Promise((resolve) => closed.close(resolve));
  const { handlers } = stack({ S3_ENDPOINT: `http://127.0.0.1:${port}` });
  const [uploadId, key] = ['0123abcd', 'resume/unreachable.bin'];
  const authorization = createMultipartAuth(SECRET, 600, () => clock)
    .sign({ uploadId, bucket, key, partCount: 1 });
  const { status, body } = await handlers['/coscenter/v1/bucket/initmultipart']({ bucket,
    remotePath: key, partcount: '1', uploadid: uploadId, authorization });
  assert.deepEqual([status, body.success], [502, false]);
  assert.match(body.reason, /^storage part listing failed: ECONNREFUSED/);
});
