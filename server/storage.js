#!/usr/bin/env node
// Local S3-compatible object storage for development, tests and the demo: s3rver on a loopback
// address, with its data in one directory, plus the multipart requests s3rver does not offer
// (ListParts, ListMultipartUploads, AbortMultipartUpload), S3's checks and ETag of a
// completed multipart upload and, on request, S3's minimum part size. It accepts SigV4
// signatures made with STORAGE_CREDENTIALS.
//
//   node storage.js --dir DIR [--port 0] [--host 127.0.0.1] [--buckets a,b] [--verbose]
//                   [--min-part-size BYTES] [--exit-with-stdin] [--parent-pid PID]
// prints "LISTENING http://127.0.0.1:PORT" on stdout once the buckets exist.
import { createHash } from 'node:crypto';
import fs from 'node:fs/promises';
import { createRequire } from 'node:module';
import { isIP } from 'node:net';
import path from 'node:path';
import { Readable } from 'node:stream';
import { pathToFileURL } from 'node:url';
import S3rver from '@20minutes/s3rver';
import { parseArgs, stopOnSignals } from './src/lifetime.js';

const require = createRequire(import.meta.url);
const authentication = require('@20minutes/s3rver/lib/middleware/authentication');
const S3Error = require('@20minutes/s3rver/lib/models/error');

/** s3rver's built-in account. */
export const STORAGE_CREDENTIALS = Object.freeze({
  accessKeyId: 'S3RVER', secretAccessKey: 'S3RVER',
});

function noSuchUpload(uploadId) {
  return new S3Error('NoSuchUpload', 'The specified upload does not exist.',
    { UploadId: uploadId });
}

// s3rver keeps an upload in "<uploads>/<id>/": "key" holds the object key, each part N is stored
// as "N" with its MD5 in "N.md5", written once the part is complete.
const uploadsDir = (store, bucket) => store.getResourcePath(bucket, undefined, 'uploads');

async function requireBucket(store, bucket) {
  if (!(await store.getBucket(bucket))) {
    throw new S3Error('NoSuchBucket', 'The specified bucket does not exist',
      { BucketName: bucket });
  }
}

/** The directory of upload `uploadId` of `key`; NoSuchUpload when there is none. */
async function uploadDir(store, bucket, key, uploadId) {
  await requireBucket(store, bucket);
  if (!/^[0-9a-f]{1,64}$/.test(uploadId)) throw noSuchUpload(uploadId);
  const dir = path.join(uploadsDir(store, bucket), uploadId);
  const storedKey = await fs.readFile(path.join(dir, 'key'), 'utf8').catch(() => undefined);
  if (storedKey !== key) throw noSuchUpload(uploadId);
  return dir;
}

/** The complete parts of an upload, ascending: [{ number, file }]. */
async function storedParts(dir) {
  return (await fs.readdir(dir))
    .filter((name) => /^\d+\.md5$/.test(name))
    .map((name) => Number(name.slice(0, -4)))
    .sort((a, b) => a - b)
    .map((number) => ({ number, file: path.join(dir, String(number)) }));
}

// ListParts, with paging (max-parts, part-number-marker).
async function listParts(store, bucket, key, query) {
  const uploadId = String(query.uploadId);
  const dir = await uploadDir(store, bucket, key, uploadId);
  const marker = Number(query['part-number-marker'] ?? 0) || 0;
  const maxParts = Math.min(Math.max(Number(query['max-parts'] ?? 1000) || 1000, 1), 1000);
  const numbers = (await storedParts(dir)).filter(({ number }) => number > marker);
  const page = numbers.slice(0, maxParts);
  const parts = await Promise.all(page.map(async ({ number, file }) => {
    const [md5, stat] = await Promise.all([fs.readFile(`${file}.md5`, 'utf8'), fs.stat(file)]);
    return {
      PartNumber: number,
      LastModified: stat.mtime.toISOString(),
      ETag: JSON.stringify(md5.trim()),
      Size: stat.size,
    };
  }));
  return {
    ListPartsResult: {
      Bucket: bucket,
      Key: key,
      UploadId: uploadId,
      PartNumberMarker: marker,
      NextPartNumberMarker: page.length ? page[page.length - 1].number : marker,
      MaxParts: maxParts,
      IsTruncated: numbers.length > page.length,
      Part: parts,
    },
  };
}

// ListMultipartUploads of a bucket, ordered by key and then upload id, with paging (max-uploads,
// key-marker, upload-id-marker) and prefix. The start time is that of the upload's "key" file.
async function listUploads(store, bucket, query) {
  await requireBucket(store, bucket);
  const prefix = String(query.prefix ?? '');
  const keyMarker = String(query['key-marker'] ?? '');
  const idMarker = String(query['upload-id-marker'] ?? '');
  const maxUploads = Math.min(Math.max(Number(query['max-uploads'] ?? 1000) || 1000, 1), 1000);
  const root = uploadsDir(store, bucket);
  const ids = await fs.readdir(root).catch((error) => {
    if (error.code === 'ENOENT') return [];
    throw error;
  });
  const uploads = (await Promise.all(ids.map(async (uploadId) => {
    const file = path.join(root, uploadId, 'key');
    const [key, stat] = await Promise.all([fs.readFile(file, 'utf8'), fs.stat(file)])
      .catch(() => []);
    return key === undefined ? undefined : { key, uploadId, initiated: stat.mtime };
  }))).filter((upload) => upload && upload.key.startsWith(prefix)
    && (upload.key > keyMarker || (upload.key === keyMarker && idMarker !== ''
      && upload.uploadId > idMarker)))
    .sort((a, b) => (a.key === b.key ? (a.uploadId < b.uploadId ? -1 : 1)
      : (a.key < b.key ? -1 : 1)));
  const page = uploads.slice(0, maxUploads);
  const last = page[page.length - 1];
  return {
    ListMultipartUploadsResult: {
      Bucket: bucket,
      KeyMarker: keyMarker,
      UploadIdMarker: idMarker,
      ...(uploads.length > page.length
        ? { NextKeyMarker: last.key, NextUploadIdMarker: last.uploadId } : {}),
      Prefix: prefix,
      MaxUploads: maxUploads,
      IsTruncated: uploads.length > page.length,
      Upload: page.map(({ key, uploadId, initiated }) => ({
        Key: key, UploadId: uploadId, Initiated: initiated.toISOString(),
        StorageClass: 'STANDARD',
      })),
    },
  };
}

// CompleteMultipartUpload ("POST /bucket/key?uploadId="). s3rver assembles the listed parts but
// neither checks them nor gives the object S3's multipart ETag (it hashes the whole content).
// Here, as in S3, the parts must be listed in ascending order (InvalidPartOrder), each must be
// stored with the listed ETag (InvalidPart), and with `minPartSize` every part but the last must
// be that large (EntityTooSmall). The assembled object gets S3's ETag: the hex MD5 of the
// parts' binary MD5s, "-" and the part count, so that a client can tell from a HeadObject
// whether an object was assembled from exactly its part list. The request body is read here
// and handed on to s3rver unchanged.
async function completeUpload(ctx, store, bucket, key, minPartSize, next) {
  const dir = await uploadDir(store, bucket, key, String(ctx.query.uploadId));
  const chunks = [];
  for await (const chunk of ctx.req) chunks.push(chunk);
  const body = Buffer.concat(chunks);
  ctx.req = Readable.from([body]);
  const listed = [...body.toString('utf8').matchAll(/<Part>([\s\S]*?)<\/Part>/g)]
    .map(([, part]) => ({
      number: Number(/<PartNumber>\s*(\d+)\s*</.exec(part)?.[1]),
      etag: (/<ETag>([^<]*)</.exec(part)?.[1] ?? '').replace(/&quot;|"/g, '').trim(),
    }));
  if (!listed.length) return next(); // s3rver answers MalformedXML
  const digests = [];
  for (const [i, { number, etag }] of listed.entries()) {
    if (i > 0 && !(number > listed[i - 1].number)) {
      throw new S3Error('InvalidPartOrder',
        'The list of parts was not in ascending order. Parts must be ordered by part number.',
        { UploadId: ctx.query.uploadId });
    }
    const file = path.join(dir, String(number));
    const md5 = await fs.readFile(`${file}.md5`, 'utf8').then((text) => text.trim(), () => '');
    if (!md5 || md5 !== etag) {
      throw new S3Error('InvalidPart', 'One or more of the specified parts could not be found. '
        + 'The part may not have been uploaded, or the specified entity tag may not match the '
        + 'part\'s entity tag.', { UploadId: ctx.query.uploadId, PartNumber: number });
    }
    const size = await fs.stat(file).then((s) => s.size, () => 0);
    if (i < listed.length - 1 && size < minPartSize) {
      throw new S3Error('EntityTooSmall',
        'Your proposed upload is smaller than the minimum allowed object size.',
        { ProposedSize: size, MinSizeAllowed: minPartSize, PartNumber: number });
    }
    digests.push(Buffer.from(md5, 'hex'));
  }
  await next();
  const result = ctx.body?.CompleteMultipartUploadResult;
  if (!result) return;
  const md5 = createHash('md5').update(Buffer.concat(digests)).digest('hex');
  const etag = `${md5}-${digests.length}`;
  // s3rver serves an object's ETag from this file (HeadObject, GetObject, listings).
  await fs.writeFile(store.getResourcePath(bucket, key, 'object.md5'), etag);
  result.ETag = JSON.stringify(etag);
}

// Koa middleware placed before s3rver's router, for the multipart requests s3rver lacks (or
// answers as not allowed): ListParts ("GET /bucket/key?uploadId="), ListMultipartUploads
// ("GET /bucket?uploads"), AbortMultipartUpload ("DELETE /bucket/key?uploadId="), and the
// checks and the ETag of CompleteMultipartUpload ("POST /bucket/key?uploadId=", completed by
// s3rver). Each checks the request's signature like s3rver does.
function multipartMiddleware(store, minPartSize) {
  const verifySignature = authentication();
  return async function multipart(ctx, next) {
    const match = /^\/([^/]+)(?:\/(.*))?$/.exec(ctx.path);
    if (ctx.state.vhost || !match) return next();
    const bucket = decodeURIComponent(match[1]);
    const key = match[2] ? decodeURIComponent(match[2]) : undefined;
    const hasUpload = key !== undefined && 'uploadId' in ctx.query && !('partNumber' in ctx.query);
    let answer;
    if (ctx.method === 'GET' && hasUpload) {
      answer = async () => { ctx.body = await listParts(store, bucket, key, ctx.query); };
    } else if (ctx.method === 'GET' && key === undefined && 'uploads' in ctx.query) {
      answer = async () => { ctx.body = await listUploads(store, bucket, ctx.query); };
    } else if (ctx.method === 'DELETE' && hasUpload) {
      answer = async () => {
        await fs.rm(await uploadDir(store, bucket, key, String(ctx.query.uploadId)),
          { recursive: true, force: true });
        ctx.status = 204;
      };
    } else if (ctx.method === 'POST' && hasUpload) {
      answer = () => completeUpload(ctx, store, bucket, key, minPartSize, next);
    } else {
      return next();
    }
    ctx.params = { bucket, key };
    await verifySignature(ctx, answer);
  };
}

function isLoopback(host) {
  return host === 'localhost' || host === '::1' || (isIP(host) === 4 && host.startsWith('127.'));
}

/**
 * Starts the storage; resolves with { url, close() }. `buckets` are created (if missing)
 * before it listens. Only loopback addresses are accepted: the credentials are public.
 */
export async function startStorage({ directory, host = '127.0.0.1', port = 0, buckets = [],
  minPartSize = 0, silent = true }) {
  if (!isLoopback(host)) throw new Error(`storage only listens on loopback, not on ${host}`);
  await fs.mkdir(directory, { recursive: true });
  const s3rver = new S3rver({
    address: host,
    port,
    directory,
    silent,
    vhostBuckets: false,
    configureBuckets: buckets.map((name) => ({ name })),
  });
  // s3rver's router is its last middleware; the multipart additions go right before it.
  s3rver.middleware.splice(s3rver.middleware.length - 1, 0,
    multipartMiddleware(s3rver.store, minPartSize));
  const address = await s3rver.run();
  const shown = address.address.includes(':') ? `[${address.address}]` : address.address;
  return {
    url: `http://${shown}:${address.port}`,
    close: async () => {
      const closed = s3rver.close();
      s3rver.httpServer.closeAllConnections();
      await closed;
    },
  };
}

async function main() {
  const options = parseArgs(process.argv.slice(2), {
    dir: 'value', port: 'value', host: 'value', buckets: 'value', 'min-part-size': 'value',
    verbose: 'flag',
    'exit-with-stdin': 'flag', 'parent-pid': 'value',
  });
  if (!options.dir) throw new Error('--dir DIR is required');
  const buckets = (options.buckets ?? process.env.S3_BUCKETS ?? '')
    .split(',').map((b) => b.trim()).filter(Boolean);
  const storage = await startStorage({
    directory: path.resolve(options.dir),
    host: options.host ?? '127.0.0.1',
    port: Number(options.port ?? 0),
    buckets,
    minPartSize: Number(options['min-part-size'] ?? 0),
    silent: !options.verbose,
  });
  stopOnSignals(storage.close, {
    exitWithStdin: options['exit-with-stdin'], parentPid: Number(options['parent-pid']) || 0,
  });
  process.stdout.write(`LISTENING ${storage.url}\n`);
}

if (process.argv[1] && import.meta.url === pathToFileURL(path.resolve(process.argv[1])).href) {
  main().catch((error) => {
    process.stderr.write(`cannot start storage: ${error?.message ?? error}\n`);
    process.exit(2);
  });
}
