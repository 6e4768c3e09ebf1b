// Tests of what the HTTP tests cannot reach quickly: authorization expiry and tampering,
// configuration errors, the storage's part listing and the processes' life cycle.
import assert from 'node:assert/strict';
import { mkdtempSync, readdirSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import { describe, it } from 'node:test';
import {
  CreateMultipartUploadCommand, ListPartsCommand, S3Client, UploadPartCommand,
} from '@aws-sdk/client-s3';
import { getSignedUrl } from '@aws-sdk/s3-request-presigner';
import { ConfigError, loadConfig } from '../src/config.js';
import { createStorage } from '../src/s3.js';
import { createMultipartAuth } from '../src/multipartAuth.js';
import { post, put, startProcess } from './stack.js';

process.env.AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED = 'true';

describe('multipart authorization', () => {
  const upload = { uploadId: 'u-1', bucket: 'uploads', key: 'a/b.bin', partCount: 4 };

  it('is bound to upload id, bucket and key, and expires', () => {
    let now = 1_700_000_000_000;
    const auth = createMultipartAuth('secret-0123456789', 60, () => now);
    const token = auth.sign(upload);
    assert.deepEqual(auth.verify(token, upload), { ok: true, partCount: 4 });
    for (const change of [{ uploadId: 'u-2' }, { bucket: 'uploads2' }, { key: 'a/b.bin2' }]) {
      assert.equal(auth.verify(token, { ...upload, ...change }).ok, false, JSON.stringify(change));
    }
    // Part count and expiry are readable in the token but covered by the MAC.
    assert.equal(auth.verify(token.replace('v1.4.', 'v1.5.'), upload).ok, false);
    const [, , expires] = token.split('.');
    assert.equal(auth.verify(token.replace(expires, String(Number(expires) + 9)), upload).ok,
      false);
    assert.equal(createMultipartAuth('other-secret-0123', 60).verify(token, upload).ok, false);
    now += 61_000;
    assert.match(auth.verify(token, upload).reason, /expired/);
  });
});

describe('part URLs', () => {
  // The part URLs are signed in one batch; they must equal what getSignedUrl makes one by one
  // (apart from the signing time), for path-style and for virtual-hosted AWS endpoints.
  for (const env of [
    { S3_ENDPOINT: 'http://127.0.0.1:9', S3_FORCE_PATH_STYLE: 'true' },
    { S3_REGION: 'eu-west-1' },
  ]) {
    it(`match single pre-signing with ${JSON.stringify(env)}`, async () => {
      const config = loadConfig({ ...env, S3_BUCKETS: 'bkt', S3_ACCESS_KEY_ID: 'AK',
        S3_SECRET_ACCESS_KEY: 'SK' });
      const storage = createStorage(config);
      const input = { Bucket: 'bkt', Key: 'a b/c+d.bin', UploadId: 'up-1' };
      const batch = await storage.presignParts(input.Bucket, input.Key, input.UploadId, 3);
      const client = new S3Client({ region: config.s3Region, endpoint: config.s3Endpoint,
        forcePathStyle: config.s3ForcePathStyle, credentials: config.s3Credentials,
        requestChecksumCalculation: 'WHEN_REQUIRED' });
      const comparable = (text) => {
        const url = new URL(text);
        url.searchParams.delete('X-Amz-Date');
        url.searchParams.delete('X-Amz-Signature');
        url.searchParams.sort();
        return url.href;
      };
      assert.equal(batch.length, 3);
      for (const [index, url] of batch.entries()) {
        const single = await getSignedUrl(client,
          new UploadPartCommand({ ...input, PartNumber: index + 1 }), { expiresIn: 3600 });
        assert.equal(comparable(url), comparable(single));
      }
      storage.destroy();
      client.destroy();
    });
  }
});

describe('configuration', () => {
  const base = { S3_BUCKETS: 'uploads' };
  it('rejects unusable settings', () => {
    for (const env of [
      {},
      { S3_BUCKETS: ' , ' },
      { ...base, LISTEN_PORT: '70000' },
      { ...base, LISTEN_PORT: '-1' },
      { ...base, URL_EXPIRES_SECONDS: '604801' },
      { ...base, URL_EXPIRES_SECONDS: '0' },
      { ...base, S3_FORCE_PATH_STYLE: 'maybe' },
      { ...base, S3_ENDPOINT: 'ftp://x' },
      { ...base, S3_ACCESS_KEY_ID: 'only-the-id' },
      { ...base, AUTH_SECRET: 'short' },
      { ...base, LOG_LEVEL: 'verbose' },
    ]) {
      assert.throws(() => loadConfig(env), ConfigError, JSON.stringify(env));
    }
  });

  it('stops the server at start-up with a readable message', () => {
    const result = spawnSync(process.execPath, ['src/main.js'], {
      cwd: path.dirname(path.dirname(new URL(import.meta.url).pathname)),
      env: { PATH: process.env.PATH, S3_BUCKETS: 'uploads', LISTEN_PORT: 'x' },
      encoding: 'utf8',
    });
    assert.equal(result.status, 2);
    assert.match(result.stderr, /LISTEN_PORT must be an integer/);
  });
});

describe('local storage', () => {
  it('lists uploaded parts for signed requests only', async () => {
    const dir = mkdtempSync(path.join(os.tmpdir(), 'vx-storage-test-'));
    const storage = await startProcess('storage.js', { args: ['--dir', dir, '--buckets', 'b1'] });
    try {
      const client = (secretAccessKey) => new S3Client({
        endpoint: storage.url, region: 'us-east-1', forcePathStyle: true,
        credentials: { accessKeyId: 'S3RVER', secretAccessKey },
      });
      const good = client('S3RVER');
      const { UploadId } = await good.send(
        new CreateMultipartUploadCommand({ Bucket: 'b1', Key: 'k/x.bin' }));
      for (const PartNumber of [3, 1]) {
        await good.send(new UploadPartCommand(
          { Bucket: 'b1', Key: 'k/x.bin', UploadId, PartNumber, Body: 'part' + PartNumber }));
      }
      const listed = await good.send(new ListPartsCommand(
        { Bucket: 'b1', Key: 'k/x.bin', UploadId, MaxParts: 1 }));
      assert.deepEqual(listed.Parts.map((p) => [p.PartNumber, p.Size]), [[1, 5]]);
      assert.equal(listed.IsTruncated, true);
      const rest = await good.send(new ListPartsCommand({
        Bucket: 'b1', Key: 'k/x.bin', UploadId, PartNumberMarker: listed.NextPartNumberMarker,
      }));
      assert.deepEqual(rest.Parts.map((p) => p.PartNumber), [3]);
      await assert.rejects(good.send(new ListPartsCommand(
        { Bucket: 'b1', Key: 'k/other.bin', UploadId })), { name: 'NoSuchUpload' });
      await assert.rejects(client('wrong').send(new ListPartsCommand(
        { Bucket: 'b1', Key: 'k/x.bin', UploadId })), { name: 'SignatureDoesNotMatch' });
      good.destroy();
    } finally {
      assert.equal(await storage.stop(), 0);
      rmSync(dir, { recursive: true, force: true });
    }
  });
});

describe('development stack', () => {
  it('keeps its files in --dir and stops when its standard input closes', async () => {
    const dir = mkdtempSync(path.join(os.tmpdir(), 'vx-dev-test-'));
    const stack = await startProcess('dev.js', {
      args: ['--dir', dir, '--exit-with-stdin'], env: { S3_BUCKETS: 'dev-b' },
    });
    try {
      const key = 'x/y.txt';
      const answer = await post(stack.url, '/api/bucket/fileuploadurl',
        { bucket: 'dev-b', remotePath: key }, { token: '' });
      await put(answer.json.data.uploadUrl, 'hello');
      assert.deepEqual(readdirSync(dir), ['storage']);
      stack.child.stdin.end();
      const [code] = await new Promise((resolve) => stack.child.on('exit', (...a) => resolve(a)));
      assert.equal(code, 0);
      await assert.rejects(fetch(stack.url));
    } finally {
      await stack.stop();
      rmSync(dir, { recursive: true, force: true });
    }
  });
});
