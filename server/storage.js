#!/usr/bin/env node
// Local S3-compatible object storage for development, tests and the demo: s3rver on a loopback
// address, with its data in one directory, plus the multipart part listing (ListParts) that
// s3rver does not offer. It accepts SigV4 signatures made with STORAGE_CREDENTIALS.
//
//   node storage.js --dir DIR [--port 0] [--host 127.0.0.1] [--buckets a,b] [--verbose]
//                   [--exit-with-stdin] [--parent-pid PID]
// prints "LISTENING http://127.0.0.1:PORT" on stdout once the buckets exist.
import fs from 'node:fs/promises';
import { createRequire } from 'node:module';
import { isIP } from 'node:net';
import path from 'node:path';
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

// Reads the parts of an upload from s3rver's files: "<uploads>/<id>/key" holds the key, each
// part N is stored as "N" with its MD5 in "N.md5", written once the part is complete.
async function describeParts(store, bucket, key, query) {
  if (!(await store.getBucket(bucket))) {
    throw new S3Error('NoSuchBucket', 'The specified bucket does not exist',
      { BucketName: bucket });
  }
  const uploadId = String(query.uploadId);
  if (!/^[0-9a-f]{1,64}$/.test(uploadId)) throw noSuchUpload(uploadId);
  const dir = path.join(store.getResourcePath(bucket, undefined, 'uploads'), uploadId);
  const storedKey = await fs.readFile(path.join(dir, 'key'), 'utf8').catch(() => undefined);
  if (storedKey !== key) throw noSuchUpload(uploadId);

  const marker = Number(query['part-number-marker'] ?? 0) || 0;
  const maxParts = Math.min(Math.max(Number(query['max-parts'] ?? 1000) || 1000, 1), 1000);
  const numbers = (await fs.readdir(dir))
    .filter((name) => /^\d+\.md5$/.test(name))
    .map((name) => Number(name.slice(0, -4)))
    .filter((number) => number > marker)
    .sort((a, b) => a - b);
  const page = numbers.slice(0, maxParts);
  const parts = await Promise.all(page.map(async (number) => {
    const file = path.join(dir, String(number));
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
      NextPartNumberMarker: page.length ? page[page.length - 1] : marker,
      MaxParts: maxParts,
      IsTruncated: numbers.length > page.length,
      Part: parts,
    },
  };
}

// Koa middleware placed before s3rver's router: answers "GET /bucket/key?uploadId=..." (which
// s3rver rejects as not allowed) after checking the request's signature like s3rver does.
function listPartsMiddleware(store) {
  const verifySignature = authentication();
  return async function listParts(ctx, next) {
    const match = /^\/([^/]+)\/(.+)$/.exec(ctx.path);
    if (ctx.method !== 'GET' || ctx.state.vhost || !match || !('uploadId' in ctx.query)
      || 'partNumber' in ctx.query) {
      return next();
    }
    const bucket = decodeURIComponent(match[1]);
    const key = decodeURIComponent(match[2]);
    ctx.params = { bucket, key };
    await verifySignature(ctx, async () => {
      ctx.body = await describeParts(store, bucket, key, ctx.query);
    });
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
  silent = true }) {
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
  // s3rver's router is its last middleware; the part listing goes right before it.
  s3rver.middleware.splice(s3rver.middleware.length - 1, 0, listPartsMiddleware(s3rver.store));
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
    dir: 'value', port: 'value', host: 'value', buckets: 'value', verbose: 'flag',
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
