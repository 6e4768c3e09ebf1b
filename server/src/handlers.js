// The three endpoints. Each handler takes the parsed JSON body and returns { status, body };
// it throws RequestError for an unusable request. Storage failures are mapped here.
import {
  CompletionRefused,
  RequestError,
  checkBucket,
  checkKey,
  parsePartCount,
  parsePathInfo,
  requireString,
} from './validate.js';
import {
  describeStorageError, isStorageRefusal, isUploadGone, multipartETag,
} from './s3.js';

const ok = (data) => ({ status: 200, body: { success: true, data } });

function storageUnavailable(log, what, error) {
  log.warn(`${what} failed: ${describeStorageError(error)}`);
  return {
    status: 502,
    body: { success: false, reason: `storage ${what} failed: ${describeStorageError(error)}` },
  };
}

export function createHandlers({ config, storage, auth, log }) {
  // A failed abort is logged and left to the stale-upload sweep; the refusal stands.
  async function abortRefused(bucket, key, uploadId) {
    const where = `(bucket ${JSON.stringify(bucket)}, key ${JSON.stringify(key)})`;
    try {
      if (await storage.abortMultipart(bucket, key, uploadId)) {
        log.info(`aborted upload ${uploadId} ${where} after its refused completion`);
      }
    } catch (error) {
      log.warn(`could not abort upload ${uploadId} ${where} after its refused completion: `
        + describeStorageError(error));
    }
  }

  const target = (body) => ({
    bucket: checkBucket(requireString(body, 'bucket'), config.buckets),
    key: checkKey(requireString(body, 'remotePath')),
  });

  async function uploadUrl(body) {
    const { bucket, key } = target(body);
    const [uploadUrl, downloadUrl] = await Promise.all([
      storage.presignPut(bucket, key), storage.presignGet(bucket, key)]);
    return ok({ uploadUrl, downloadUrl });
  }

  // An upload id from a request, for a log line: as it is when it looks like one, otherwise
  // JSON-quoted and cut short, so that no request can write lines of its own into the log.
  const printableId = (id) => (/^[\w.~+/=-]{1,256}$/.test(id) ? id
    : JSON.stringify(id.slice(0, 64)));

  // The upload a multipart start asks to resume ("uploadid" and "authorization", both
  // optional): { uploadId, parts } when the authorization verifies for this bucket, key and
  // part count and the storage still has the upload; undefined (after one info line) when a
  // new upload is to be started instead. An old resume record must never block an upload, so
  // nothing here is a 4xx; a storage failure other than "no such upload" throws.
  async function uploadToResume(body, bucket, key, partCount) {
    const uploadId = body.uploadid;
    if (typeof uploadId !== 'string' || uploadId === '') return undefined;
    const token = typeof body.authorization === 'string' ? body.authorization : '';
    const verdict = auth.verify(token, { uploadId, bucket, key });
    const id = printableId(uploadId);
    if (!verdict.ok) {
      log.info(`authorization for upload ${id} does not verify (${verdict.reason}): `
        + 'a new upload');
      return undefined;
    }
    // Parts numbered for another slicing of the file would be assembled into a wrong object.
    if (verdict.partCount !== partCount) {
      log.info(`upload ${id} was started for ${verdict.partCount} part`
        + `${verdict.partCount === 1 ? '' : 's'}, not ${partCount}: a new upload`);
      return undefined;
    }
    try {
      return { uploadId, parts: await storage.listParts(bucket, key, uploadId) };
    } catch (error) {
      if (!isUploadGone(error)) throw error;
      log.info(`upload ${id} unknown to the storage: a new upload`);
      return undefined;
    }
  }

  // Starts a multipart upload, or resumes one (same upload id, a fresh authorization and
  // fresh part URLs, and the parts the storage holds). The same request gives a client fresh
  // part URLs before the ones it has expire.
  async function initMultipart(body) {
    const { bucket, key } = target(body);
    const partCount = parsePartCount(requireString(body, 'partcount'));
    let resumed;
    try {
      resumed = await uploadToResume(body, bucket, key, partCount);
    } catch (error) {
      return storageUnavailable(log, 'part listing', error);
    }
    let uploadId = resumed?.uploadId;
    if (!resumed) {
      try {
        uploadId = await storage.createMultipart(bucket, key);
      } catch (error) {
        return storageUnavailable(log, 'multipart start', error);
      }
    }
    const partUrl = await storage.presignParts(bucket, key, uploadId, partCount);
    const authorization = auth.sign({ uploadId, bucket, key, partCount });
    return ok({ uploadid: uploadId, authorization, partUrl,
      ...(resumed && { parts: resumed.parts }) });
  }

  async function completeMultipart(body) {
    const uploadId = requireString(body, 'uploadid');
    const token = requireString(body, 'authorization');
    const { bucket, key } = target(body);
    if (body.bucketName !== undefined && body.bucketName !== bucket) {
      throw new RequestError(400, 'fields "bucket" and "bucketName" differ');
    }
    const pathInfo = requireString(body, 'pathinfo');
    const verdict = auth.verify(token, { uploadId, bucket, key });
    if (!verdict.ok) throw new RequestError(403, verdict.reason);

    // From here on the request is authentic, so it comes from the client the upload was handed
    // to. A part list that cannot be assembled is a refused completion, answered with 200 and
    // success false; the client then closes the job as failed and never comes back for this
    // upload, so the upload is aborted: its parts would otherwise stay in the storage. (A
    // request that fails the authorization check above never aborts anything.)
    const refuse = async (reason, storageError) => {
      log.warn(`completion refused: ${reason} (upload ${uploadId})`);
      // 404: the storage no longer has the upload (NoSuchUpload; Ceph says NoSuchKey).
      if (storageError?.$metadata?.httpStatusCode !== 404) {
        await abortRefused(bucket, key, uploadId);
      }
      return { status: 200, body: { success: false, reason, data: { uploadid: uploadId } } };
    };
    const storageRefused = (error) => refuse(`storage refused: ${describeStorageError(error)}`,
      error);
    let parts;
    try {
      parts = parsePathInfo(pathInfo);
    } catch (error) {
      if (error instanceof CompletionRefused) return refuse(error.message);
      throw error;
    }
    if (parts.length !== verdict.partCount) {
      return refuse(`pathinfo lists ${parts.length} parts, the upload has ${verdict.partCount}`);
    }

    const completed = async () =>
      ok({ uploadid: uploadId, Location: await storage.presignGet(bucket, key) });
    // The storage no longer has the upload. When a completion of exactly this part list
    // succeeded and only its answer was lost, the client's retry lands here: the object then
    // has the ETag this part list produces, and the retry gets the answer the first completion
    // would have had. Any other object (an older one under the key, one assembled from another
    // part list) leaves the refusal standing; nothing is aborted, as nothing is left.
    const uploadGone = async (error) => {
      const expected = multipartETag(parts.map((part) => part.etag));
      let found;
      try {
        found = expected && await storage.objectETag(bucket, key);
      } catch (headError) {
        // A storage failure may pass, and the client retries a 502.
        if (!isStorageRefusal(headError)) {
          return storageUnavailable(log, 'object check', headError);
        }
      }
      if (!expected || found !== expected) return storageRefused(error);
      log.info(`completion of upload ${uploadId} repeated: (bucket ${JSON.stringify(bucket)}, `
        + `key ${JSON.stringify(key)}) already holds the object of its parts`);
      return completed();
    };

    let stored;
    try {
      stored = await storage.listParts(bucket, key, uploadId);
    } catch (error) {
      if (isUploadGone(error)) return uploadGone(error);
      if (isStorageRefusal(error)) return storageRefused(error);
      return storageUnavailable(log, 'part listing', error);
    }
    // Checked before completing: a store may fail badly when asked to assemble a part that
    // was never uploaded, and a precise reason helps the client.
    const storedETags = new Map(stored.map((part) => [part.partNumber, part.etag]));
    for (const { partNumber, etag } of parts) {
      if (!storedETags.has(partNumber)) return refuse(`part ${partNumber} was never uploaded`);
      if (storedETags.get(partNumber) !== etag) {
        return refuse(`part ${partNumber} has ETag ${storedETags.get(partNumber)}, not ${etag}`);
      }
    }

    try {
      await storage.completeMultipart(bucket, key, uploadId, parts);
    } catch (error) {
      // The SDK's own retry of a completion whose answer was lost, or a concurrent one.
      if (isUploadGone(error)) return uploadGone(error);
      // A storage failure (5xx, no answer) may be passing: the upload is kept for a retry.
      if (isStorageRefusal(error)) return storageRefused(error);
      return storageUnavailable(log, 'multipart completion', error);
    }
    return completed();
  }

  return {
    '/api/bucket/fileuploadurl': uploadUrl,
    '/coscenter/v1/bucket/initmultipart': initMultipart,
    '/coscenter/v1/bucket/completemultipart': completeMultipart,
  };
}
