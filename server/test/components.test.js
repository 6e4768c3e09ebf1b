// What the HTTP tests cannot reach: authorization tampering and expiry, URLs in either style.
import assert from 'node:assert/strict';
import { it } from 'node:test';
import {
  GetObjectCommand, PutObjectCommand, S3Client, UploadPartCommand,
} from '@aws-sdk/client-s3';
import { getSignedUrl } from '@aws-sdk/s3-request-presigner';
import { loadConfig } from '../src/config.js';
import { createMultipartAuth } from '../src/multipartAuth.js';
import { createStorage } from '../src/s3.js';


it('multipart authorization binds bucket, part count and expiry, and expires', () => {
  const upload = { uploadId: 'u-1', bucket: 'uploads', key: 'a/b.bin', partCount: 4 };
  let now = 1_700_000_000_000;
  const auth = createMultipartAuth('secret-0123456789', 60, () => now);
  const token = auth.sign(upload);
  assert.deepEqual(auth.verify(token, upload), { ok: true, partCount: 4 });
  // Part count and expiry are readable in the token: the MAC must cover them.
  for (const [forged, changes] of [[token, { bucket: 'uploads2' }],
    [token.replace('v1.4.', 'v1.5.')], [token.replace(/\.(?=[^.]+$)/, '9.')],
    [createMultipartAuth('other-secret-0123', 60).sign(upload)]]) {
    assert.equal(auth.verify(forged, { ...upload, ...changes }).ok, false, forged);
  }
  now += 61_000;
  assert.match(auth.verify(token, upload).reason, /expired/);
});

// Part URLs are signed in one batch and object URLs from one request per command and bucket,
// both through SDK internals and with each key's path put in by this server: they must equal
// what getSignedUrl makes one by one at the same signing time, for keys that need encoding.
const signedAt = (url) => new Date(new URL(url).searchParams.get('X-Amz-Date')
  .replace(/^(....)(..)(..)T(..)(..)/, '$1-$2-$3T$4:$5:'));
const sorted = (url) => { const u = new URL(url); u.searchParams.sort(); return u.href; };

it('pre-signed URLs equal single pre-signing for any key, in both addressing styles', async () => {
  const [Bucket, UploadId] = ['bkt', 'up-1'];
  for (const pathStyle of ['true', 'false']) {
    const config = loadConfig({ S3_REGION: 'eu-west-1', S3_BUCKETS: 'bkt',
      S3_FORCE_PATH_STYLE: pathStyle, S3_ACCESS_KEY_ID: 'AK', S3_SECRET_ACCESS_KEY: 'SK' });
    const client = new S3Client({ region: config.s3Region, credentials: config.s3Credentials,
      forcePathStyle: config.s3ForcePathStyle, requestChecksumCalculation: 'WHEN_REQUIRED',
      responseChecksumValidation: 'WHEN_REQUIRED' });
    const storage = createStorage(config);
    for (const Key of ['a.bin', 'dir/sub dir/x+y.bin', "odd!'()*&$@=;:,?#[]%.txt",
      'ünï/çødé €.bin', 'a//b/', '-_.~']) {
      const ours = [await storage.presignPut(Bucket, Key), await storage.presignGet(Bucket, Key),
        ...await storage.presignParts(Bucket, Key, UploadId, 2)];
      const commands = [new PutObjectCommand({ Bucket, Key }),
        new GetObjectCommand({ Bucket, Key }), ...[1, 2].map((PartNumber) =>
          new UploadPartCommand({ Bucket, Key, UploadId, PartNumber }))];
      const theirs = await Promise.all(commands.map((command, i) => getSignedUrl(client, command,
        { expiresIn: config.urlLifetime, signingDate: signedAt(ours[i]) })));
      assert.deepEqual(ours.map(sorted), theirs.map(sorted), `${Key}, path style ${pathStyle}`);
    }
    storage.destroy();
    client.destroy();
  }
});
