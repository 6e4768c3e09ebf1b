// The handlers and the sweep against a storage: the local one (with S3's 5 MiB minimum part
// size), or the S3 endpoint (path style) that VX_S3_ENDPOINT, VX_S3_ACCESS_KEY_ID,
// VX_S3_SECRET_ACCESS_KEY, VX_S3_BUCKET (created when missing; its every upload older than 2 s
// is swept: use one of its own) and VX_S3_REGION name.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { mkdtempSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { after, before, it } from 'node:test';
import { loadConfig } from '../src/config.js';
import { createHandlers } from '../src/handlers.js';
import { createMultipartAuth } from '../src/multipartAuth.js';
import { createStorage } from '../src/s3.js';
import { createSweeper } from '../src/sweep.js';
import { STORAGE_CREDENTIALS, startStorage } from '../storage.js';

const external = Boolean(process.env.VX_S3_ENDPOINT);
const bucket = external ? process.env.VX_S3_BUCKET || 'vx-server-sweep-test' : 'uploads';
const dir = mkdtempSync(path.join(os.tmpdir(), 'vx-storage-test-'));
const lines = [];
const log = Object.fromEntries(['error', 'warn', 'info', 'debug'].map(
  (level) => [level, (message) => lines.push(`${level} ${message}`)]));
let [local, storage, handlers] = [];

before(async () => {
  const { env } = process;
  if (!external) {
    local = await startStorage({ directory: dir, buckets: [bucket], minPartSize: 5 << 20 });
  }
  const [S3_ENDPOINT, S3_REGION, S3_ACCESS_KEY_ID, S3_SECRET_ACCESS_KEY] = external
    ? [env.VX_S3_ENDPOINT, env.VX_S3_REGION, env.VX_S3_ACCESS_KEY_ID, env.VX_S3_SECRET_ACCESS_KEY]
    : [local.url, '', STORAGE_CREDENTIALS.accessKeyId, STORAGE_CREDENTIALS.secretAccessKey];
  // One part a page: every part listing (completion check, resume) follows the storage's pages.
  const config = loadConfig({ S3_BUCKETS: bucket, S3_FORCE_PATH_STYLE: 'true', S3_ENDPOINT,
    S3_REGION, S3_ACCESS_KEY_ID, S3_SECRET_ACCESS_KEY, S3_LIST_PARTS_PAGE_SIZE: '1' });
  storage = createStorage(config);
  await storage.ensureBuckets([bucket]);
  handlers = createHandlers({ config, storage, log,
    auth: createMultipartAuth('storage-test-secret-0123', 600) });
});
after(async () => {
  storage?.destroy();
  await local?.close();
  rmSync(dir, { recursive: true, force: true });
});

async function uploadIds() {
  const ids = [];
  for await (const page of storage.multipartUploads(bucket)) ids.push(...page);
  return ids.map((upload) => upload.uploadId);
}
const start = (key, partcount, more) => handlers['/coscenter/v1/bucket/initmultipart'](
  { bucket, remotePath: key, partcount: String(partcount), ...more });
/** PUTs `sizes` bytes as parts 1.. of an upload: [{ partNumber, etag, size }]. */
async function putParts(partUrl, sizes) {
  const parts = [];
  for (const [i, size] of sizes.entries()) {
    const response = await fetch(partUrl[i], { method: 'PUT', body: Buffer.alloc(size, i) });
    assert.equal(response.status, 200, `PUT of part ${i + 1}`);
    parts.push({ partNumber: i + 1, etag: response.headers.get('etag').replace(/"/g, ''), size });
  }
  return parts;
}
const pathInfo = (parts) => parts.map(({ partNumber, etag }) => `${partNumber},${etag}`).join(';');
/** Starts a multipart upload through the server's handler and PUTs `sizes` bytes as parts. */
async function startUpload(key, sizes) {
  const { body } = await start(key, sizes.length);
  return { key, ...body.data, pathinfo: pathInfo(await putParts(body.data.partUrl, sizes)) };
}
const complete = (upload, pathinfo = upload.pathinfo) => handlers[
  '/coscenter/v1/bucket/completemultipart']({ bucket, remotePath: upload.key,
  uploadid: upload.uploadid, authorization: upload.authorization, pathinfo });

// The request component sends Content-MD5, unsigned (the URLs sign only the host): a real S3
// engine refuses damaged bytes by it; the embedded storage does not check it (the component
// then finds the damage by comparing the ETag with the MD5 of what it sent).
it('a PUT with Content-MD5 is stored; with a wrong one, S3 refuses it', async () => {
  const { body } = await handlers['/api/bucket/fileuploadurl'](
    { bucket, remotePath: 'md5/object.bin' });
  const bytes = Buffer.alloc(4096, 7);
  const md5 = (data) => createHash('md5').update(data).digest();
  const put = (digest) => fetch(body.data.uploadUrl,
    { method: 'PUT', body: bytes, headers: { 'Content-MD5': digest.toString('base64') } });
  const good = await put(md5(bytes));
  assert.deepEqual([good.status, good.headers.get('etag')],
    [200, `"${md5(bytes).toString('hex')}"`], await good.text());
  const damaged = await put(md5(Buffer.alloc(4096, 8)));
  const answer = await damaged.text();
  assert.deepEqual([damaged.status, /BadDigest/.test(answer)], external ? [400, true]
    : [200, false], answer);
});

it('a completion the storage refuses names its reason and aborts the upload', async () => {
  // 1 KiB parts: every S3 storage refuses a part other than the last under 5 MiB.
  const upload = await startUpload('refused/small-parts.bin', [1024, 1024]);
  const { status, body } = await complete(upload);
  assert.deepEqual([status, body.success, body.data.uploadid], [200, false, upload.uploadid]);
  assert.match(body.reason, /^storage refused: EntityTooSmall \(HTTP 400\): a part other/);
  assert.doesNotMatch(body.reason, /https?:|X-Amz|S3RVER/);
  assert.ok(!(await uploadIds()).includes(upload.uploadid), 'the refused upload was aborted');
  assert.ok(lines.includes(`info aborted upload ${upload.uploadid} (bucket "${bucket}", key `
    + `"${upload.key}") after its refused completion`), lines.join('\n'));
});

it('a repeated completion succeeds only for the object of exactly its part list', async () => {
  const key = 'repeat/object.bin';
  const first = await startUpload(key, [5 << 20, 1024]);
  // Same key and part count, other bytes, removed without ever being completed.
  const never = await startUpload(key, [5 << 20, 2048]);
  assert.equal(await storage.abortMultipart(bucket, key, never.uploadid), true);
  const done = await complete(first);
  assert.equal(done.body.success, true, JSON.stringify(done.body));
  const location = new URL(done.body.data.Location).pathname;
  for (const [what, upload, pathinfo, success] of [
    ['the same completion again', first, undefined, true],
    ['another part list for the completed upload', first,
      first.pathinfo.replace(/^1,([^;]+);2,(.+)$/, '1,$2;2,$1'), false],
    ['an aborted upload, its key holding an older object', never, undefined, false],
  ]) {
    const { status, body } = await complete(upload, pathinfo);
    assert.deepEqual([status, body.success, body.data.uploadid], [200, success, upload.uploadid],
      `${what}: ${JSON.stringify(body)}`);
    if (success) assert.equal(new URL(body.data.Location).pathname, location, what);
    else assert.match(body.reason, /^storage refused: \w+ \(HTTP 404\)/, what);
  }
  assert.ok(!lines.some((line) => /^info aborted upload/.test(line)
    && [first.uploadid, never.uploadid].some((id) => line.includes(id))), lines.join('\n'));
  assert.ok(lines.includes(`info completion of upload ${first.uploadid} repeated: (bucket `
    + `"${bucket}", key "${key}") already holds the object of its parts`), lines.join('\n'));
});

// resume.test.js covers resuming in detail; here it meets a real store's paging and errors.
it('a resume lists the stored parts and completes; an aborted upload gives a new one', async () => {
  const key = 'resume/object.bin';
  const first = (await start(key, 3)).body.data;
  const stored = await putParts(first.partUrl, [5 << 20, 5 << 20]);
  const resume = (upload) => start(key, 3,
    { uploadid: upload.uploadid, authorization: upload.authorization });
  const { data } = (await resume(first)).body;
  assert.deepEqual([data.uploadid, data.parts], [first.uploadid, stored]);
  const last = await fetch(data.partUrl[2], { method: 'PUT', body: Buffer.alloc(1024, 2) });
  const parts = [...stored, { partNumber: 3, etag: last.headers.get('etag').replace(/"/g, '') }];
  const done = await complete({ key, ...data }, pathInfo(parts));
  assert.equal(done.body.success, true, JSON.stringify(done.body));

  const aborted = (await start(key, 3)).body.data;
  assert.equal(await storage.abortMultipart(bucket, key, aborted.uploadid), true);
  const fresh = (await resume({ ...aborted })).body.data;
  assert.notEqual(fresh.uploadid, aborted.uploadid);
  assert.ok(lines.includes(`info upload ${aborted.uploadid} unknown to the storage: a new upload`),
    lines.join('\n'));
  assert.equal(await storage.abortMultipart(bucket, key, fresh.uploadid), true);
});

it('the sweep aborts the uploads older than the age, on time, and stops on close', async () => {
  const old = await startUpload('sweep/old.bin', [1024]);
  await sleep(2500);
  const young = await startUpload('sweep/young.bin', [1024]);
  const sweeper = createSweeper({ storage, buckets: [bucket], ageSeconds: 2, intervalSeconds: 1,
    log });
  sweeper.start();
  // The first pass runs one interval after the start; the second one a second after it ends,
  // when the young upload may have become old too: close() in between.
  const summary = new RegExp(`^info stale upload sweep: bucket "${bucket}": aborted \\d+ upload`);
  const deadline = Date.now() + 5000;
  while (!lines.some((line) => summary.test(line)) && Date.now() < deadline) await sleep(50);
  await sweeper.close();
  // The young upload is old by now: only a sweep that went on after close() would take it.
  await sleep(1500);
  const ids = await uploadIds();
  assert.deepEqual([ids.includes(old.uploadid), ids.includes(young.uploadid)], [false, true],
    lines.join('\n'));
  assert.ok(lines.some((line) => line.startsWith(`info stale upload sweep: aborted upload `
    + `${old.uploadid} (bucket "${bucket}", key "sweep/old.bin", started `)), lines.join('\n'));
  assert.equal(await storage.abortMultipart(bucket, young.key, young.uploadid), true);
  assert.equal(await storage.abortMultipart(bucket, young.key, young.uploadid), false);
});
