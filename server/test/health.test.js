// Liveness: /healthz on the HTTP front alone (no storage behind it), and the warning about an
// event loop that was held up.
import assert from 'node:assert/strict';
import { it } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { watchEventLoop } from '../src/eventLoopWatch.js';
import { createHttpServer } from '../src/httpServer.js';
import { listen } from '../src/lifetime.js';

it('/healthz answers GET without the token and without storage; the API keeps the token',
  async () => {
    const quiet = () => {};
    const server = createHttpServer({ config: { apiToken: 'tok-0123456789', maxBodyBytes: 1024 },
      handlers: { '/api/bucket/fileuploadurl': () => assert.fail('handler called') },
      log: { error: quiet, warn: quiet, info: quiet, debug: quiet } });
    const url = await listen(server, '127.0.0.1', 0);
    try {
      const health = await fetch(`${url}/healthz`);
      assert.deepEqual([health.status, await health.json()],
        [200, { success: true, status: 'ok' }]);
      const post = await fetch(`${url}/healthz`, { method: 'POST' });
      assert.deepEqual([post.status, post.headers.get('allow')], [405, 'GET, HEAD']);
      const api = await fetch(`${url}/api/bucket/fileuploadurl`, { method: 'POST', body: '{}' });
      assert.equal(api.status, 401);
    } finally {
      server.closeAllConnections();
      server.close();
    }
  });

it('warns when the event loop was held up beyond the threshold, not while it runs', async () => {
  const warnings = [];
  const watch = watchEventLoop({ log: { warn: (line) => warnings.push(line) }, thresholdMs: 200,
    intervalMs: 100 });
  await sleep(300);
  const whileRunning = [...warnings];
  for (const until = Date.now() + 500; Date.now() < until;); // holds the loop for 0.5 s
  await sleep(300);
  watch.close();
  assert.deepEqual(whileRunning, []);
  const held = warnings.map((line) => Number(/held up for (\d+) ms/.exec(line)?.[1]));
  assert.ok(held.length === 1 && held[0] >= 450, warnings.join('\n'));
});
