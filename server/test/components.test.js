// Tests of parts the HTTP tests cannot reach quickly: authorization expiry and tampering, the
// batch-signed part URLs, and configuration errors.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { S3Client, UploadPartCommand } from '@aws-sdk/client-s3';
import { getSignedUrl } from '@aws-sdk/s3-request-presigner';
import { ConfigError, loadConfig } from '../src/config.js';
import { createMultipartAuth } from '../src/multipartAuth.js';
import { createStorage } from '../src/s3.js';

process.env.AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED = 'true';

describe('multipart authorization', () => {
  it('is bound to upload id, bucket and key, and expires', () => {
    const upload = { uploadId: 'u-1', bucket: 'uploads', key: 'a/b.bin', partCount: 4 };
    let now = 1_700_000_000_000;
    const auth = createMultipartAuth('secret-0123456789', 60, () => now);
    const token = auth.sign(upload);
    assert.deepEqual(auth.verify(token, upload), { ok: true, partCount: 4 });
    const [, , expires] = token.split('.');
    for (const [other, changed] of [
      [token, { uploadId: 'u-2' }], [token, { bucket: 'uploads2' }], [token, { key: 'a/b.bin2' }],
      // Part count and expiry are readable in the token, and covered by the MAC.
      [token.replace('v1.4.', 'v1.5.'), {}], [token.replace(expires, `${expires}9`), {}],
      [createMultipartAuth('other-secret-0123', 60).sign(upload), {}],
    ]) {
      assert.equal(auth.verify(other, { ...upload, ...changed }).ok, false, other);
    }
    now += 61_000;
    assert.match(auth.verify(token, upload).reason, /expired/);
  });
});

describe('part URLs', () => {
  // Signed in one batch, they must equal what getSignedUrl makes one by one (apart from the
  // signing time), for a path-style endpoint and for AWS's virtual-hosted one.
  for (const env of [{ S3_ENDPOINT: 'http://127.0.0.1:9', S3_FORCE_PATH_STYLE: 'true' },
    { S3_REGION: 'eu-west-1' }]) {
    it(`match single pre-signing with ${JSON.stringify(env)}`, async () => {
      const config = loadConfig(
        { ...env, S3_BUCKETS: 'bkt', S3_ACCESS_KEY_ID: 'AK', S3_SECRET_ACCESS_KEY: 'SK' });
      const storage = createStorage(config);
      const input = { Bucket: 'bkt', Key: 'a b/c+d.bin', UploadId: 'up-1' };
      const batch = await storage.presignParts(input.Bucket, input.Key, input.UploadId, 3);
      const client = new S3Client({ region: config.s3Region, endpoint: config.s3Endpoint,
        forcePathStyle: config.s3ForcePathStyle, credentials: config.s3Credentials,
        requestChecksumCalculation: 'WHEN_REQUIRED' });
      const comparable = (text) => {
        const url = new URL(text);
        for (const name of ['X-Amz-Date', 'X-Amz-Signature']) url.searchParams.delete(name);
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
  it('rejects unusable settings', () => {
    const rows = [{ S3_BUCKETS: ' , ' }, { LISTEN_PORT: '70000' }, { LISTEN_PORT: '-1' },
      { URL_EXPIRES_SECONDS: '604801' }, { URL_EXPIRES_SECONDS: '0' },
      { S3_FORCE_PATH_STYLE: 'maybe' }, { S3_ENDPOINT: 'ftp://x' },
      { S3_ACCESS_KEY_ID: 'only-the-id' }, { AUTH_SECRET: 'short' }, { LOG_LEVEL: 'verbose' }];
    for (const env of rows) {
      assert.throws(() => loadConfig({ S3_BUCKETS: 'uploads', ...env }), ConfigError,
        JSON.stringify(env));
    }
    assert.throws(() => loadConfig({}), ConfigError);
  });
});
