// The stale-upload sweep: multipart uploads that were started but never completed or aborted
// (a client that crashed, gave up or lost its network) keep their parts in the storage, billed
// and invisible. Periodically, every upload in the configured buckets that was started longer
// ago than the configured age is aborted. Instances behind a load balancer may all sweep: an
// upload removed by another one is simply skipped.
import { describeStorageError } from './s3.js';

// The first sweep waits a little, so that start-up (and a crash loop) stays cheap.
const FIRST_SWEEP_DELAY_SECONDS = 10;

const plural = (count, word) => `${count} ${word}${count === 1 ? '' : 's'}`;

/**
 * Creates the sweep of `buckets`; nothing runs before start(). A pass never throws: failures
 * are logged and the next pass tries again. `close()` stops the timer, cancels the storage
 * request in progress and resolves once a running pass has ended.
 */
export function createSweeper({ storage, buckets, ageSeconds, intervalSeconds, log,
  now = () => Date.now() }) {
  let timer;
  let running;
  let closed = false;
  // Cancels the storage request in progress on close(), so that stopping is not held up.
  const cancel = new AbortController();

  async function sweepBucket(bucket) {
    const cutoff = now() - ageSeconds * 1000;
    let aborted = 0;
    try {
      pages: for await (const page of storage.multipartUploads(bucket, cancel.signal)) {
        for (const { key, uploadId, initiated } of page) {
          if (closed) break pages;
          // An upload whose start time the storage does not give is left alone.
          if (!(initiated instanceof Date) || initiated.getTime() >= cutoff) continue;
          if (!(await storage.abortMultipart(bucket, key, uploadId, cancel.signal))) continue;
          aborted += 1;
          const age = Math.round((now() - initiated.getTime()) / 1000);
          log.info(`stale upload sweep: aborted upload ${uploadId} (bucket `
            + `${JSON.stringify(bucket)}, key ${JSON.stringify(key)}, started ${age} s ago)`);
        }
      }
    } catch (error) {
      // A request cancelled by close() is no failure.
      if (!closed) {
        log.warn(`stale upload sweep: bucket ${JSON.stringify(bucket)} failed: `
          + `${describeStorageError(error)}`);
      }
    }
    if (aborted > 0) {
      log.info(`stale upload sweep: bucket ${JSON.stringify(bucket)}: aborted `
        + plural(aborted, 'upload'));
    }
  }

  async function pass() {
    for (const bucket of buckets) {
      if (closed) return;
      await sweepBucket(bucket);
    }
  }

  // The next pass is scheduled when one ends, so passes never overlap however long they take.
  function schedule(seconds) {
    if (closed) return;
    timer = setTimeout(() => {
      running = pass().finally(() => {
        running = undefined;
        schedule(intervalSeconds);
      });
    }, seconds * 1000);
    timer.unref();
  }

  return {
    start() {
      if (intervalSeconds <= 0) {
        log.info('stale upload sweep: off');
        return;
      }
      log.info(`stale upload sweep: every ${intervalSeconds} s, uploads older than `
        + `${ageSeconds} s are aborted`);
      schedule(Math.min(intervalSeconds, FIRST_SWEEP_DELAY_SECONDS));
    },
    async close() {
      closed = true;
      clearTimeout(timer);
      cancel.abort();
      await running;
    },
  };
}
