// The "authorization" handed out with a multipart upload. It lets the completion request prove
// that this server started the upload, without any table on the server: it is an HMAC-SHA256
// under the server secret over the upload id, bucket, key, the number of part URLs handed out
// and an expiry time. Text form: "v1.<partCount>.<expiresUnixSeconds>.<base64url MAC>".
import { createHmac, timingSafeEqual } from 'node:crypto';

const FORMAT = /^v1\.(\d{1,5})\.(\d{1,12})\.([A-Za-z0-9_-]{43})$/;

export function createMultipartAuth(secret, lifetimeSeconds, now = () => Date.now()) {
  const mac = (uploadId, bucket, key, partCount, expires) =>
    createHmac('sha256', secret)
      // A JSON array keeps the fields apart whatever characters they hold.
      .update(JSON.stringify(['v1', uploadId, bucket, key, partCount, expires]))
      .digest();

  return {
    sign({ uploadId, bucket, key, partCount }) {
      const expires = Math.floor(now() / 1000) + lifetimeSeconds;
      const digest = mac(uploadId, bucket, key, partCount, expires).toString('base64url');
      return `v1.${partCount}.${expires}.${digest}`;
    },

    /** { ok: true, partCount } when the token was made by sign() for this upload and is valid. */
    verify(token, { uploadId, bucket, key }) {
      const match = FORMAT.exec(token);
      if (!match) return { ok: false, reason: 'authorization is malformed' };
      const partCount = Number(match[1]);
      const expires = Number(match[2]);
      const expected = mac(uploadId, bucket, key, partCount, expires);
      const given = Buffer.from(match[3], 'base64url');
      if (given.length !== expected.length || !timingSafeEqual(given, expected)) {
        return { ok: false, reason: 'authorization does not match this upload' };
      }
      if (Math.floor(now() / 1000) > expires) {
        return { ok: false, reason: 'authorization has expired' };
      }
      return { ok: true, partCount };
    },
  };
}
