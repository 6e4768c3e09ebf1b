// End-to-end tests of the three endpoints against the real server and the local storage.
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { once } from 'node:events';
import { mkdtempSync, readdirSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { ListPartsCommand, S3Client } from '@aws-sdk/client-s3';
import { BUCKET, TOKEN, download, post, put, startProcess } from './stack.js';

const UPLOAD_URL = '/api/bucket/fileuploadurl';
const INIT = '/coscenter/v1/bucket/initmultipart';
const COMPLETE = '/coscenter/v1/bucket/completemultipart';

process.env.AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED = 'true';
const dir = mkdtempSync(path.join(os.tmpdir(), 'vx-server-test-'));
let stack;
before(async () => {
  stack = await startProcess('dev.js', {
    args: ['--dir', dir, '--exit-with-stdin'],
    env: { API_TOKEN: TOKEN, AUTH_SECRET: 'test-secret-0123456789', S3_BUCKETS: 'uploads,other',
      LOG_LEVEL: 'debug' },
  });
});
after(async () => {
  // The stack stops, storage included, when its standard input closes, and kept its files in
  // the given directory.
  stack.child.stdin.end();
  const [code] = await once(stack.child, 'exit');
  assert.equal(code, 0);
  await assert.rejects(fetch(stack.lines.STORAGE));
  assert.deepEqual(readdirSync(dir), ['storage']);
  rmSync(dir, { recursive: true, force: true });
});

const job = (remotePath) => ({
  bucket: BUCKET, path: remotePath, remotePath, localPath: `/home/u/${remotePath}`,
  uploadMethod: 'upload', owner: 'u1',
});

async function initMultipart(remotePath, partcount) {
  const { status, json } = await post(stack.url, INIT, {
    ...job(remotePath), filename: 'f.bin', partcount: String(partcount),
    uploadMethod: 'sliceUpload', bc_bcode: 'B1',
  });
  assert.equal(status, 200);
  return json.data;
}

const completion = (data, remotePath, pathinfo) => ({
  ...job(remotePath), bucketName: BUCKET, filePath: `/home/u/${remotePath}`, partUrl: '',
  uploadid: data.uploadid, authorization: data.authorization, pathinfo,
});

describe('single upload', () => {
  it('hands out URLs that store and return the bytes', async () => {
    const key = `docs/ünï cödé+${Date.now()}.bin`;
    const { status, json } = await post(stack.url, UPLOAD_URL, job(key));
    assert.equal(status, 200);
    const bytes = randomBytes(200 * 1024);
    await put(json.data.uploadUrl, bytes);
    assert.deepEqual(await download(json.data.downloadUrl), bytes);
  });
});

describe('multipart upload', () => {
  it('assembles three parts in order', async () => {
    const data = await initMultipart('big/three.bin', 3);
    assert.equal(data.partUrl.length, 3);
    // The storage used here does not enforce S3's 5 MiB minimum for all but the last part.
    const parts = [randomBytes(300 * 1024), randomBytes(300 * 1024), randomBytes(1234)];
    const etags = [];
    // Uploaded out of order on purpose: each URL must be bound to its own part number.
    for (const index of [2, 0, 1]) etags[index] = await put(data.partUrl[index], parts[index]);
    const pathinfo = etags.map((etag, i) => `${i + 1},${etag}`).join(';');
    const { status, json } = await post(stack.url, COMPLETE,
      completion(data, 'big/three.bin', pathinfo));
    assert.equal(status, 200, JSON.stringify(json));
    assert.equal(json.success, true);
    assert.equal(json.data.uploadid, data.uploadid);
    assert.deepEqual(await download(json.data.Location), Buffer.concat(parts));
  });

  it('refuses unusable completions and still completes afterwards', async () => {
    const key = 'big/refused.bin';
    const data = await initMultipart(key, 3);
    const bytes = [randomBytes(1000), randomBytes(1000), randomBytes(10)];
    const e1 = await put(data.partUrl[0], bytes[0]);
    const e3 = await put(data.partUrl[2], bytes[2]);
    const other = await initMultipart('big/other.bin', 3);
    const rows = [
      // [name, changes to the completion body, expected status, reason pattern]
      ['wrong authorization', { authorization: other.authorization }, 403, /does not match/],
      ['garbled authorization', { authorization: 'v1.3.1.x' }, 403, /malformed/],
      ['authorization for another key', { remotePath: 'big/other.bin' }, 403, /does not match/],
      ['bucket and bucketName differ', { bucketName: 'other' }, 400, /differ/],
      ['missing pathinfo', { pathinfo: undefined }, 400, /pathinfo/],
      ['part never uploaded', { pathinfo: `1,${e1};2,${e1};3,${e3}` }, 200, /part 2 was never/],
      ['gap', { pathinfo: `1,${e1};3,${e3}` }, 200, /must be 1..n/],
      ['duplicate', { pathinfo: `1,${e1};1,${e1};3,${e3}` }, 200, /must be 1..n/],
      ['fewer parts than handed out', { pathinfo: `1,${e1}` }, 200, /1 parts, the upload has 3/],
      ['wrong ETag', { pathinfo: `1,${e3};2,${e1};3,${e3}` }, 200, /part 1 has ETag/],
      ['malformed: colon', { pathinfo: `1:${e1}` }, 200, /number,etag/],
      ['malformed: empty entry', { pathinfo: `1,${e1};;3,${e3}` }, 200, /number,etag/],
      ['malformed: quoted ETag', { pathinfo: `1,"${e1}";2,x;3,y` }, 200, /no usable ETag/],
      ['malformed: part 0', { pathinfo: `0,${e1}` }, 200, /number,etag/],
    ];
    for (const [name, changes, status, reason] of rows) {
      const body = { ...completion(data, key, `1,${e1};2,${e1};3,${e3}`), ...changes };
      const answer = await post(stack.url, COMPLETE, body);
      assert.equal(answer.status, status, name);
      assert.equal(answer.json.success, false, name);
      assert.match(answer.json.reason, reason, name);
      // A refused completion names its upload, so that the client finds the job again.
      if (status === 200) assert.equal(answer.json.data.uploadid, data.uploadid, name);
    }
    const e2 = await put(data.partUrl[1], bytes[1]);
    const all = `1,${e1};2,${e2};3,${e3}`;
    const done = await post(stack.url, COMPLETE, completion(data, key, all));
    assert.equal(done.json.success, true);
    assert.deepEqual(await download(done.json.data.Location), Buffer.concat(bytes));
    // Once completed, the upload is gone: a repeated completion is refused, not a failure.
    const again = await post(stack.url, COMPLETE, completion(data, key, all));
    assert.deepEqual([again.status, again.json.success], [200, false]);
  });
});

describe('local storage', () => {
  it('lists uploaded parts, page by page, for signed requests only', async () => {
    const client = (secretAccessKey) => new S3Client({ endpoint: stack.lines.STORAGE,
      region: 'us-east-1', forcePathStyle: true,
      credentials: { accessKeyId: 'S3RVER', secretAccessKey } });
    const data = await initMultipart('list/x.bin', 3);
    for (const index of [2, 0]) await put(data.partUrl[index], `part${index + 1}`);
    const input = { Bucket: BUCKET, Key: 'list/x.bin', UploadId: data.uploadid };
    const good = client('S3RVER');
    const first = await good.send(new ListPartsCommand({ ...input, MaxParts: 1 }));
    assert.deepEqual(first.Parts.map((p) => [p.PartNumber, p.Size]), [[1, 5]]);
    assert.equal(first.IsTruncated, true);
    const rest = await good.send(
      new ListPartsCommand({ ...input, PartNumberMarker: first.NextPartNumberMarker }));
    assert.deepEqual(rest.Parts.map((p) => p.PartNumber), [3]);
    await assert.rejects(good.send(new ListPartsCommand({ ...input, Key: 'list/y.bin' })),
      { name: 'NoSuchUpload' });
    await assert.rejects(client('wrong').send(new ListPartsCommand(input)),
      { name: 'SignatureDoesNotMatch' });
    good.destroy();
  });
});

describe('request checks', () => {
  it('rejects missing or wrong bearer tokens with 401', async () => {
    for (const [name, headers] of [
      ['no header', { token: '' }],
      ['wrong token', { token: 'nope' }],
      ['token as prefix', { token: TOKEN.slice(0, -1) }],
      ['other scheme', { token: '', headers: { Authorization: `Basic ${TOKEN}` } }],
    ]) {
      const { status, json } = await post(stack.url, UPLOAD_URL, job('a.txt'), headers);
      assert.equal(status, 401, name);
      assert.equal(json.success, false, name);
    }
  });

  it('rejects bad bodies and fields with 400', async () => {
    const init = (changes) => ({ ...job('a.bin'), partcount: '2', ...changes });
    const rows = [
      ['bad JSON', UPLOAD_URL, '{"bucket":'],
      ['array body', UPLOAD_URL, '[]'],
      ['missing bucket', UPLOAD_URL, { ...job('a.txt'), bucket: undefined }],
      ['missing remotePath', UPLOAD_URL, { ...job('a.txt'), remotePath: undefined }],
      ['bucket not a string', UPLOAD_URL, { ...job('a.txt'), bucket: 7 }],
      ['bucket not allowed', UPLOAD_URL, { ...job('a.txt'), bucket: 'forbidden' }],
      ['bucket name invalid', UPLOAD_URL, { ...job('a.txt'), bucket: 'Up_Loads' }],
      ['key with ..', UPLOAD_URL, job('docs/../secret.txt')],
      ['absolute key', UPLOAD_URL, job('/etc/passwd')],
      ['key with backslash', UPLOAD_URL, job('docs\\a.txt')],
      ['key with control char', UPLOAD_URL, job('docs/a\u0001.txt')],
      ['key with empty segment', UPLOAD_URL, job('docs//a.txt')],
      ['key over 1024 bytes', UPLOAD_URL, job('é'.repeat(513))],
      ['partcount 0', INIT, init({ partcount: '0' })],
      ['partcount 10001', INIT, init({ partcount: '10001' })],
      ['partcount abc', INIT, init({ partcount: 'abc' })],
      ['partcount 1.5', INIT, init({ partcount: '1.5' })],
      ['partcount as number', INIT, init({ partcount: 2 })],
      ['missing partcount', INIT, init({ partcount: undefined })],
      ['completion without uploadid', COMPLETE, { ...job('a.bin'), authorization: 'x' }],
    ];
    for (const [name, api, body] of rows) {
      const { status, json } = await post(stack.url, api, body);
      assert.equal(status, 400, name);
      assert.equal(json.success, false, name);
      assert.equal(typeof json.reason, 'string', name);
    }
  });

  it('answers 404, 405 and 413', async () => {
    const rows = [
      ['unknown path', 'POST', '/api/bucket/other', 404],
      ['trailing slash', 'POST', `${UPLOAD_URL}/`, 404],
      ['GET on an endpoint', 'GET', UPLOAD_URL, 405],
      ['PUT on an endpoint', 'PUT', INIT, 405],
    ];
    for (const [name, method, apiPath, status] of rows) {
      const response = await fetch(stack.url + apiPath,
        { method, headers: { Authorization: `Bearer ${TOKEN}` } });
      assert.equal(response.status, status, name);
      assert.equal((await response.json()).success, false, name);
    }
    const big = JSON.stringify({ ...job('a.txt'), pad: 'x'.repeat(1024 * 1024) });
    assert.equal((await post(stack.url, UPLOAD_URL, big)).status, 413);
  });

  it('accepts the largest part count and a key of exactly 1024 bytes', async () => {
    const data = await initMultipart('big/max.bin', 10000);
    assert.equal(data.partUrl.length, 10000);
    assert.equal(new URL(data.partUrl[9999]).searchParams.get('partNumber'), '10000');
    const { status } = await post(stack.url, UPLOAD_URL, job(`d/${'é'.repeat(511)}`));
    assert.equal(status, 200);
  });

  it('logs requests without URLs, signatures or tokens, even at debug level', () => {
    const log = stack.output.stderr;
    assert.match(log, /POST \/api\/bucket\/fileuploadurl 200 /);
    assert.match(log, /POST \/coscenter\/v1\/bucket\/completemultipart 403 /);
    assert.match(log, /completion refused: part 2 was never uploaded/);
    assert.doesNotMatch(log, /X-Amz-Signature|Signature=|test-token|test-secret|http:\/\//);
  });
});
