// Assembles and starts the server from a configuration; used by main.js and dev.js.
import { watchEventLoop } from './eventLoopWatch.js';
import { createHandlers } from './handlers.js';
import { createHttpServer } from './httpServer.js';
import { listen } from './lifetime.js';
import { createMultipartAuth } from './multipartAuth.js';
import { createStorage } from './s3.js';
import { createSweeper } from './sweep.js';

/** Starts listening; resolves with { url, close() }. close() stops accepting and waits. */
export async function startServer(config, log) {
  if (config.authSecretGenerated) {
    log.warn('AUTH_SECRET is not set: a random one is used, so multipart authorizations are '
      + 'lost on restart and not shared with other instances');
  }
  if (!config.apiToken) log.warn('API_TOKEN is not set: requests are not authenticated');
  const storage = createStorage(config);
  if (config.createBuckets) await storage.ensureBuckets(config.buckets);
  const auth = createMultipartAuth(config.authSecret, config.authLifetime);
  const handlers = createHandlers({ config, storage, auth, log });
  const server = createHttpServer({ config, handlers, log });
  const url = await listen(server, config.listenHost, config.listenPort);
  if (config.staleUploadSweep > 0 && config.staleUploadAge < config.authLifetime) {
    log.warn('STALE_UPLOAD_AGE_SECONDS is shorter than AUTH_EXPIRES_SECONDS: the sweep may abort '
      + 'uploads that clients are still sending');
  }
  if (config.staleUploadSweep > 0 && config.authLifetime < config.staleUploadAge) {
    log.warn('AUTH_EXPIRES_SECONDS is shorter than STALE_UPLOAD_AGE_SECONDS: a client that comes '
      + 'back after its authorization expired starts its upload over while the storage still '
      + 'holds its parts');
  }
  const sweeper = createSweeper({ storage, buckets: config.buckets, log,
    ageSeconds: config.staleUploadAge, intervalSeconds: config.staleUploadSweep });
  sweeper.start();
  const loopWatch = watchEventLoop({ log, thresholdMs: config.eventLoopWarnMs });
  return {
    url,
    close: () => new Promise((resolve) => {
      const sweepStopped = sweeper.close();
      loopWatch.close();
      server.close(async () => {
        await sweepStopped;
        storage.destroy();
        resolve();
      });
      // Requests in progress get a moment to finish; idle keep-alive connections do not.
      server.closeIdleConnections();
      setTimeout(() => server.closeAllConnections(), 2000).unref();
    }),
  };
}
