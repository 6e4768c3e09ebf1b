// Warns when the event loop was held up: while it is, no request is answered, /healthz included.
import { monitorEventLoopDelay } from 'node:perf_hooks';

/**
 * Every `intervalMs`, logs a warning when the event loop was held up longer than `thresholdMs`
 * since the previous warning (0: no watch). Node's delay histogram records a hold-up when its own
 * timer fires after it, which may be after this check's timer in the same turn of the loop: the
 * histogram is read once that turn's timers have run. It is cleared only after a warning, since
 * the first delay after a reset is not recorded.
 * Returns { close() }.
 */
export function watchEventLoop({ log, thresholdMs, intervalMs = 1000 }) {
  if (!thresholdMs) return { close() {} };
  const delays = monitorEventLoopDelay({ resolution: 20 });
  delays.enable();
  const check = () => {
    const maxMs = delays.max / 1e6;
    if (maxMs <= thresholdMs) return;
    delays.reset();
    log.warn(`event loop held up for ${Math.round(maxMs)} ms (warning above `
      + `EVENT_LOOP_WARN_MS=${thresholdMs}): requests waited that long`);
  };
  const timer = setInterval(() => setImmediate(check), intervalMs);
  timer.unref();
  return {
    close() {
      clearInterval(timer);
      delays.disable();
    },
  };
}
