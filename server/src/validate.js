// Checks of request fields. Two kinds of rejection:
//  - RequestError: the request itself is unusable (HTTP 4xx);
//  - CompletionRefused: a well-formed, authorised completion whose part list cannot be
//    assembled (HTTP 200 with success false, so that the client closes the job as refused).

export class RequestError extends Error {
  constructor(status, reason) {
    super(reason);
    this.status = status;
  }
}

export class CompletionRefused extends Error {}

export const MAX_PARTS = 10000;
const MAX_KEY_BYTES = 1024;
const MAX_ETAG_LENGTH = 128;

/** The field as a non-empty string; RequestError 400 otherwise. */
export function requireString(body, name) {
  const value = body[name];
  if (typeof value !== 'string' || value === '') {
    throw new RequestError(400, `field "${name}" is missing or not a non-empty string`);
  }
  return value;
}

/** S3 bucket naming rules, then the allow-list. */
export function checkBucket(bucket, allowed) {
  const valid = bucket.length >= 3 && bucket.length <= 63
    && /^[a-z0-9][a-z0-9.-]*[a-z0-9]$/.test(bucket)
    && !bucket.includes('..')
    && !/^\d{1,3}(\.\d{1,3}){3}$/.test(bucket)
    && !bucket.startsWith('xn--') && !bucket.endsWith('-s3alias');
  if (!valid) throw new RequestError(400, 'bucket name is not a valid S3 bucket name');
  if (!allowed.includes(bucket)) throw new RequestError(400, 'bucket is not allowed');
  return bucket;
}

/**
 * An object key must name a file below the bucket: relative, "/"-separated, without empty,
 * "." or ".." segments, backslashes or control characters, and at most 1024 bytes in UTF-8.
 */
export function checkKey(key) {
  if (Buffer.byteLength(key, 'utf8') > MAX_KEY_BYTES) {
    throw new RequestError(400, `object key is longer than ${MAX_KEY_BYTES} bytes`);
  }
  if (key.startsWith('/')) throw new RequestError(400, 'object key must not start with "/"');
  // eslint-disable-next-line no-control-regex
  if (/[\u0000-\u001f\u007f\\]/.test(key)) {
    throw new RequestError(400, 'object key contains a backslash or a control character');
  }
  if (key.isWellFormed && !key.isWellFormed()) {
    throw new RequestError(400, 'object key is not valid Unicode');
  }
  for (const segment of key.split('/')) {
    if (segment === '' || segment === '.' || segment === '..') {
      throw new RequestError(400, 'object key has an empty, "." or ".." segment');
    }
  }
  return key;
}

/** Decimal text of an integer from 1 to MAX_PARTS. */
export function parsePartCount(text) {
  if (!/^\d{1,5}$/.test(text) || Number(text) < 1 || Number(text) > MAX_PARTS) {
    throw new RequestError(400, `partcount must be an integer from 1 to ${MAX_PARTS}`);
  }
  return Number(text);
}

/**
 * Parses "1,etag1;2,etag2;...": part numbers 1..n in ascending order without gaps or
 * duplicates, each with an ETag (quotes removed). Returns [{ partNumber, etag }].
 */
export function parsePathInfo(text) {
  const entries = text.split(';');
  if (entries.length > MAX_PARTS) {
    throw new CompletionRefused(`pathinfo lists more than ${MAX_PARTS} parts`);
  }
  return entries.map((entry, index) => {
    const fields = entry.split(',');
    if (fields.length !== 2 || !/^[1-9]\d{0,4}$/.test(fields[0])) {
      throw new CompletionRefused(`pathinfo entry ${index + 1} is not "number,etag"`);
    }
    const partNumber = Number(fields[0]);
    if (partNumber !== index + 1) {
      throw new CompletionRefused(
        `pathinfo entry ${index + 1} names part ${partNumber}: parts must be 1..n in order`);
    }
    const etag = fields[1];
    if (etag.length > MAX_ETAG_LENGTH || !/^[0-9A-Za-z-]+$/.test(etag)) {
      throw new CompletionRefused(`pathinfo entry ${index + 1} has no usable ETag`);
    }
    return { partNumber, etag };
  });
}
