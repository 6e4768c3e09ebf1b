// The object storage, reached through the AWS SDK v3. Works with any S3-compatible endpoint;
// endpoint, region, credentials and path style come from the configuration.
import {
  AbortMultipartUploadCommand,
  CompleteMultipartUploadCommand,
  CreateBucketCommand,
  CreateMultipartUploadCommand,
  GetObjectCommand,
  HeadBucketCommand,
  HeadObjectCommand,
  ListMultipartUploadsCommand,
  ListPartsCommand,
  PutObjectCommand,
  S3Client,
  UploadPartCommand,
} from '@aws-sdk/client-s3';
import { createHash } from 'node:crypto';
import { formatUrl } from '@aws-sdk/core/util';
import { S3RequestPresigner } from '@aws-sdk/s3-request-presigner';

function clientOptions(config, endpoint) {
  return {
    region: config.s3Region,
    endpoint,
    forcePathStyle: config.s3ForcePathStyle,
    credentials: config.s3Credentials,
    // Checksums only where S3 demands them: a pre-signed URL must not require the uploader
    // to send checksum headers, and some S3-compatible stores reject the newer ones.
    requestChecksumCalculation: 'WHEN_REQUIRED',
    responseChecksumValidation: 'WHEN_REQUIRED',
    maxAttempts: 3,
    requestHandler: { connectionTimeout: 5000, requestTimeout: 30000 },
  };
}

// In path style the SDK sends bucket-level requests to "/bucket/"; some stores (s3rver) sign
// and route only "/bucket". Every S3 implementation accepts the form without the slash.
const BUCKET_COMMANDS = new Set(['HeadBucketCommand', 'CreateBucketCommand',
  'ListMultipartUploadsCommand']);
function stripBucketSlash(next, context) {
  return (args) => {
    const request = args.request;
    if (BUCKET_COMMANDS.has(context.commandName) && /^\/[^/]+\/$/.test(request?.path ?? '')) {
      request.path = request.path.slice(0, -1);
    }
    return next(args);
  };
}

/** True when the storage answered with a 4xx status: the request was refused, not lost. */
export function isStorageRefusal(error) {
  const status = error?.$metadata?.httpStatusCode;
  return typeof status === 'number' && status >= 400 && status < 500;
}

// What the storage's error codes mean for this server's clients and operators. The storage's
// own message is only used for codes not listed here, and then cleaned (see below).
const STORAGE_ERROR_TEXTS = {
  EntityTooSmall: 'a part other than the last is smaller than the storage\'s minimum part size'
    + ' (5 MiB on AWS S3 and Ceph)',
  EntityTooLarge: 'a part or the object is larger than the storage accepts',
  InvalidPart: 'a listed part is not in the storage or has another ETag',
  InvalidPartOrder: 'the parts are not listed in ascending order',
  NoSuchUpload: 'the upload does not exist (completed, aborted or never started)',
  NoSuchBucket: 'the bucket does not exist in the storage',
  NoSuchKey: 'the storage has no such object or upload',
  AccessDenied: 'the server\'s storage credentials are not allowed to do this',
  InvalidAccessKeyId: 'the storage does not know the server\'s access key',
  SignatureDoesNotMatch: 'the storage rejected the server\'s signature (wrong secret key?)',
  RequestTimeTooSkewed: 'the server\'s clock differs too much from the storage\'s',
  SlowDown: 'the storage asks to slow down',
  ServiceUnavailable: 'the storage is unavailable',
  InternalError: 'the storage failed internally',
};

// A storage message can quote the request (host names, paths, policy ARNs) and must not carry
// them into answers or logs: URLs and long tokens are cut out and the text kept short.
function cleanMessage(message) {
  return String(message ?? '')
    .replace(/\b[a-z][a-z0-9+.-]*:\/\/\S+/gi, '<url>')
    .replace(/\barn:\S+/g, '<arn>')
    .replace(/\b(?=[A-Za-z0-9+/=_-]*\d)[A-Za-z0-9+/=_-]{16,}/g, '<token>')
    .replace(/\s+/g, ' ')
    .trim()
    .slice(0, 160);
}

/**
 * One-line description of a storage error without URLs or credentials, fit for logs and
 * answers: "<S3 error code> (HTTP <status>): <short text>", e.g.
 * "EntityTooSmall (HTTP 400): a part other than the last is smaller than ...". An error
 * without an answer from the storage (connection refused, timeout) is described by its code.
 */
export function describeStorageError(error) {
  const status = error?.$metadata?.httpStatusCode;
  const code = error?.Code ?? error?.name ?? 'Error';
  const message = cleanMessage(error?.message);
  if (!status) {
    // No answer: a system error (ECONNREFUSED, ETIMEDOUT, ...) or a client-side failure.
    return error?.code ? `${error.code}: the storage could not be reached (${message})`
      : `${code}: ${message || 'no answer from the storage'}`;
  }
  const text = STORAGE_ERROR_TEXTS[code]
    ?? (message && message !== code && message !== 'UnknownError' ? message : undefined);
  return `${code} (HTTP ${status})${text ? `: ${text}` : ''}`;
}

/** The S3 error code of a storage answer, e.g. "NoSuchUpload". */
const storageErrorCode = (error) => error?.Code ?? error?.name;

/**
 * True when the storage says that a multipart upload does not exist (any more): NoSuchUpload,
 * or from Ceph RGW's ListParts NoSuchKey or a bare 404. A missing bucket is not meant.
 */
export function isUploadGone(error) {
  return error?.$metadata?.httpStatusCode === 404 && storageErrorCode(error) !== 'NoSuchBucket';
}

/**
 * The ETag S3 gives the object assembled from parts with these ETags (in part order): the
 * hex MD5 of the concatenated binary MD5s of the parts, "-", the part count. AWS S3 (without
 * SSE-KMS or SSE-C), Ceph RGW, MinIO and the local storage follow this rule. Undefined when a
 * part ETag is not an MD5 (32 hex digits): the object's ETag then says nothing.
 */
export function multipartETag(partETags) {
  if (!partETags.length || !partETags.every((etag) => /^[0-9a-fA-F]{32}$/.test(etag))) {
    return undefined;
  }
  const digests = Buffer.concat(partETags.map((etag) => Buffer.from(etag, 'hex')));
  return `${createHash('md5').update(digests).digest('hex')}-${partETags.length}`;
}

// Headers the SDK adds for its own retries; a pre-signed URL must not depend on them.
const SDK_HEADERS = ['amz-sdk-invocation-id', 'amz-sdk-request', 'x-amz-user-agent'];

/**
 * Pre-signed UploadPart URLs for parts 1..count, in part order. getSignedUrl runs the whole
 * request pipeline, endpoint rules included, for each URL (about 1.3 ms here, 13 s for 10000
 * parts). The URLs of one upload differ only in the partNumber query parameter, so the
 * pipeline runs once, and at the point where getSignedUrl signs its request the SDK's
 * S3RequestPresigner signs one copy of the serialized request per part number.
 */
async function presignParts(client, input, count, expiresIn) {
  const urls = [];
  const signEachPart = (next, context) => async ({ request }) => {
    for (const header of SDK_HEADERS) delete request.headers[header];
    const signingRegion = context.signing_region ?? await client.config.region();
    const signingService = context.signing_service ?? 's3';
    const signer = new S3RequestPresigner({
      ...client.config, signingName: signingService, region: async () => signingRegion,
    });
    for (let part = 1; part <= count; part++) {
      const copy = {
        ...request,
        headers: { ...request.headers },
        query: { ...request.query, partNumber: String(part) },
      };
      const signed = await signer.presign(copy, { expiresIn, signingRegion, signingService });
      urls.push(formatUrl(signed));
    }
    return { response: {}, output: { $metadata: { httpStatusCode: 200 } } };
  };
  const stack = client.middlewareStack.clone();
  stack.addRelativeTo(signEachPart, {
    name: 'presignPartsMiddleware', relation: 'before', toMiddleware: 'awsAuthMiddleware',
    override: true,
  });
  const command = new UploadPartCommand({ ...input, PartNumber: 1 });
  await command.resolveMiddleware(stack, client.config, {})({ input: command.input });
  return urls;
}

// The path form of an object key, as the SDK writes a greedy label: each "/"-separated segment
// URI-encoded, with !'()* encoded too.
const encodeKey = (key) => key.split('/').map((segment) => (/^[\w.~-]*$/.test(segment)
  ? segment
  : encodeURIComponent(segment).replace(/[!'()*]/g,
    (c) => `%${c.charCodeAt(0).toString(16).toUpperCase()}`))).join('/');

/**
 * Pre-signed object URLs (PutObject, GetObject) for any key. getSignedUrl runs the whole request
 * pipeline for each URL (about 0.6 ms of CPU here, two URLs per upload-URL request: most of this
 * server's work when clients upload many small files). The requests of one command and bucket
 * differ only in the key's end of the path, so the pipeline runs once per command and bucket for
 * a placeholder key, and each URL is signed from a copy of that request with the key's path, by
 * the S3RequestPresigner that getSignedUrl itself uses.
 */
function createObjectPresigner(client, expiresIn) {
  const placeholder = 'k';
  const templates = new Map();

  async function template(Command, Bucket) {
    let captured;
    const capture = (next, context) => async ({ request }) => {
      for (const header of SDK_HEADERS) delete request.headers[header];
      const signingRegion = context.signing_region ?? await client.config.region();
      const signingService = context.signing_service ?? 's3';
      captured = {
        request,
        options: { expiresIn, signingRegion, signingService },
        signer: new S3RequestPresigner({
          ...client.config, signingName: signingService, region: async () => signingRegion,
        }),
      };
      return { response: {}, output: { $metadata: { httpStatusCode: 200 } } };
    };
    const stack = client.middlewareStack.clone();
    stack.addRelativeTo(capture, {
      name: 'presignTemplateMiddleware', relation: 'before', toMiddleware: 'awsAuthMiddleware',
      override: true,
    });
    const command = new Command({ Bucket, Key: placeholder });
    await command.resolveMiddleware(stack, client.config, {})({ input: command.input });
    if (!captured?.request.path.endsWith(`/${placeholder}`)) {
      throw new Error(`unexpected request path for ${Command.name}`);
    }
    return captured;
  }

  return async (Command, Bucket, Key) => {
    const id = `${Command.name}/${Bucket}`;
    if (!templates.has(id)) {
      // A failure is not kept: the next request builds the template again.
      templates.set(id, template(Command, Bucket).catch((error) => {
        templates.delete(id);
        throw error;
      }));
    }
    const { request, options, signer } = await templates.get(id);
    const copy = {
      ...request,
      headers: { ...request.headers },
      query: { ...request.query },
      path: request.path.slice(0, -placeholder.length) + encodeKey(Key),
    };
    return formatUrl(await signer.presign(copy, options));
  };
}

export function createStorage(config) {
  const client = new S3Client(clientOptions(config, config.s3Endpoint));
  if (config.s3ForcePathStyle) {
    // 'build' runs after the path is set and before the request is signed.
    client.middlewareStack.add(stripBucketSlash, { step: 'build', priority: 'low' });
  }
  // Pre-signed URLs carry the host the uploader will reach, which may differ from the one
  // this server uses (S3_PUBLIC_ENDPOINT); the signature covers that host.
  const presigner = config.s3PublicEndpoint
    ? new S3Client(clientOptions(config, config.s3PublicEndpoint))
    : client;
  const presign = createObjectPresigner(presigner, config.urlLifetime);

  return {
    presignPut: (Bucket, Key) => presign(PutObjectCommand, Bucket, Key),
    presignGet: (Bucket, Key) => presign(GetObjectCommand, Bucket, Key),
    presignParts: (Bucket, Key, UploadId, count) =>
      presignParts(presigner, { Bucket, Key, UploadId }, count, config.urlLifetime),

    async createMultipart(Bucket, Key) {
      const answer = await client.send(new CreateMultipartUploadCommand({ Bucket, Key }));
      if (!answer.UploadId) throw new Error('storage returned no UploadId');
      return answer.UploadId;
    },

    /**
     * Every part the storage holds for an upload, ascending by part number:
     * [{ partNumber, etag (without quotes), size (bytes) }]. Follows the pages of ListParts
     * (at most 1000 parts each, config.listPartsPageSize).
     */
    async listParts(Bucket, Key, UploadId) {
      const parts = [];
      let PartNumberMarker;
      for (;;) {
        const page = await client.send(new ListPartsCommand({ Bucket, Key, UploadId,
          PartNumberMarker, MaxParts: config.listPartsPageSize }));
        for (const part of page.Parts ?? []) {
          parts.push({ partNumber: part.PartNumber, etag: (part.ETag ?? '').replace(/"/g, ''),
            size: part.Size ?? 0 });
        }
        if (!page.IsTruncated) return parts.sort((a, b) => a.partNumber - b.partNumber);
        // A store that omits the marker continues after the page's last part.
        const next = Number(page.NextPartNumberMarker ?? page.Parts?.at(-1)?.PartNumber);
        if (!(next > Number(PartNumberMarker ?? 0))) {
          throw new Error('storage gave a part listing page that does not advance');
        }
        PartNumberMarker = String(next);
      }
    },

    async completeMultipart(Bucket, Key, UploadId, parts) {
      await client.send(new CompleteMultipartUploadCommand({
        Bucket, Key, UploadId,
        MultipartUpload: {
          Parts: parts.map(({ partNumber, etag }) =>
            ({ PartNumber: partNumber, ETag: `"${etag}"` })),
        },
      }));
    },

    /** The ETag of an object, without quotes and in lower case; undefined when none exists. */
    async objectETag(Bucket, Key) {
      try {
        const head = await client.send(new HeadObjectCommand({ Bucket, Key }));
        return (head.ETag ?? '').replace(/"/g, '').toLowerCase();
      } catch (error) {
        // A HEAD answer has no body, so a missing object is only a 404 (code NotFound).
        if (error?.$metadata?.httpStatusCode === 404) return undefined;
        throw error;
      }
    },

    /**
     * Aborts a multipart upload, removing its parts. Resolves false when the storage no
     * longer knows the upload (completed or aborted meanwhile, e.g. by another instance).
     * `abortSignal` (optional) cancels the request.
     */
    async abortMultipart(Bucket, Key, UploadId, abortSignal) {
      try {
        await client.send(new AbortMultipartUploadCommand({ Bucket, Key, UploadId }),
          { abortSignal });
        return true;
      } catch (error) {
        if (storageErrorCode(error) === 'NoSuchUpload') return false;
        throw error;
      }
    },

    /** The bucket's multipart uploads in progress, page by page: { key, uploadId, initiated }. */
    async* multipartUploads(Bucket, abortSignal) {
      let KeyMarker;
      let UploadIdMarker;
      for (;;) {
        const page = await client.send(
          new ListMultipartUploadsCommand({ Bucket, KeyMarker, UploadIdMarker }), { abortSignal });
        yield (page.Uploads ?? []).map((upload) => ({
          key: upload.Key, uploadId: upload.UploadId, initiated: upload.Initiated,
        }));
        if (!page.IsTruncated) return;
        if (page.NextKeyMarker === KeyMarker && page.NextUploadIdMarker === UploadIdMarker) {
          throw new Error('storage repeated the same page of multipart uploads');
        }
        [KeyMarker, UploadIdMarker] = [page.NextKeyMarker, page.NextUploadIdMarker];
      }
    },

    /** Creates each bucket that does not exist yet. */
    async ensureBuckets(names) {
      for (const Bucket of names) {
        try {
          await client.send(new HeadBucketCommand({ Bucket }));
        } catch (error) {
          if (error?.$metadata?.httpStatusCode !== 404) throw error;
          await client.send(new CreateBucketCommand({ Bucket }));
        }
      }
    },

    destroy() {
      client.destroy();
      if (presigner !== client) presigner.destroy();
    },
  };
}
