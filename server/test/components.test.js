// What the HTTP tests cannot reach: authorization tampering and expiry, batch-signed URLs.
import assert from 'node:assert/strict';
import { it } from 'node:test';
import {
  GetObjectCommand, PutObjectCommand, S3Client, UploadPartCommand,
} from '@aws-sdk/client-s3';
import { getSignedUrl } from '@aws-sdk/s3-request-presigner';
import { loadConfig } from '../src/config.js';
import { createMultipartAuth } from '../src/multipartAuth.js';
import { createStorage } from '../src/s3.js';

process.env.AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED = 'true';

it('multipart authorization binds bucket, part count and expiry, and expires', () => {
  const upload = { uploadId: 'u-1', bucket: 'uploads', key: 'a/b.bin', partCount: 4 };
  let now = 1_700_000_000_000;
  const auth = createMultipartAuth('secret-0123456789', 60, () => now);
  const token = auth.sign(upload);
  assert.deepEqual(auth.verify(token, upload), { ok: true, partCount: 4 });
  const expires = token.split('.')[2];
  // Part count and expiry are readable in the token: the MAC must cover them.
  for (const [forged, changes] of [[token, { bucket: 'uploads2' }],
    [token.replace('v1.4.', 'v1.5.')], [token.replace(expires, `${expires}9`)],
    [createMultipartAuth('other-secret-0123', 60).sign(upload)]]) {
    assert.equal(auth.verify(forged, { ...upload, ...changes }).ok, false, forged);
  }
  now += 61_000;
  assert.match(auth.verify(token, upload).reason, /expired/);
});

// The part URLs are signed in one batch through SDK internals; they must equal what
// getSignedUrl makes one by one at the same signing time. (Path-style URLs are also checked by
// the local storage in api.test.js; AWS's virtual-hosted style only here.)
const signedAt = (url) => new Date(new URL(url).searchParams.get('X-Amz-Date')
  .replace(/^(....)(..)(..)T(..)(..)/, '$1-$2-$3T$4:$5:'));
const sorted = (url) => { const u = new URL(url); u.searchParams.sort(); return u.href; };

it('batch-signed part URLs equal single pre-signing', async () => {
  const input = { Bucket: 'bkt', Key: 'a b/c+d.bin', UploadId: 'up-1' };
  const config = loadConfig({ S3_REGION: 'eu-west-1', S3_BUCKETS: 'bkt',
    S3_ACCESS_KEY_ID: 'AK', S3_SECRET_ACCESS_KEY: 'SK' });
  const client = new S3Client({ region: config.s3Region, credentials: config.s3Credentials,
    requestChecksumCalculation: 'WHEN_REQUIRED' });
  const storage = createStorage(config);
  const batch = await storage.presignParts(input.Bucket, input.Key, input.UploadId, 2);
  const single = await Promise.all(batch.map((url, i) => getSignedUrl(client,
    new UploadPartCommand({ ...input, PartNumber: i + 1 }),
    { expiresIn: 3600, signingDate: signedAt(url) })));
  assert.deepEqual(batch.map(sorted), single.map(sorted));
  storage.destroy();
  client.destroy();
});

// Object URLs are signed from one request built per command and bucket, with each key's path
// put in by this server: keys that need encoding must come out as getSignedUrl makes them.
it('object URLs equal single pre-signing for any key, in both addressing styles', async () => {
  const keys = ['a.bin', 'dir/sub dir/x+y.bin', "odd!'()*&$@=;:,?#[]%.txt", 'ünï/çødé €.bin',
    'a//b/', '-_.~'];
  for (const pathStyle of ['true', 'false']) {
    const config = loadConfig({ S3_REGION: 'eu-west-1', S3_BUCKETS: 'bkt',
      S3_FORCE_PATH_STYLE: pathStyle, S3_ACCESS_KEY_ID: 'AK', S3_SECRET_ACCESS_KEY: 'SK' });
    const client = new S3Client({ region: config.s3Region, credentials: config.s3Credentials,
      forcePathStyle: config.s3ForcePathStyle, requestChecksumCalculation: 'WHEN_REQUIRED',
      responseChecksumValidation: 'WHEN_REQUIRED' });
    const storage = createStorage(config);
    for (const [presign, Command] of [[storage.presignPut, PutObjectCommand],
      [storage.presignGet, GetObjectCommand]]) {
      for (const Key of keys) {
        const ours = await presign('bkt', Key);
        const theirs = await getSignedUrl(client, new Command({ Bucket: 'bkt', Key }),
          { expiresIn: config.urlLifetime, signingDate: signedAt(ours) });
        const what = `${Command.name} ${Key}, path style ${pathStyle}`;
        assert.equal(sorted(ours), sorted(theirs), what);
      }
    }
    storage.destroy();
    client.destroy();
  }
});
