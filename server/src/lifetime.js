// Shared process plumbing for the command-line entry points: stop on signals, and optionally
// when the parent process goes away, so that nothing is left running after a test or demo.

/**
 * Calls `stop` (async) once on SIGTERM or SIGINT, then exits 0; a stop that takes longer than
 * five seconds exits 1. With `exitWithStdin`, the end of standard input also stops; with
 * `parentPid`, the disappearance of that process does.
 */
export function stopOnSignals(stop, { exitWithStdin = false, parentPid } = {}) {
  let stopping = false;
  const finish = (why) => {
    if (stopping) return;
    stopping = true;
    process.stderr.write(`stopping (${why})\n`);
    setTimeout(() => process.exit(1), 5000).unref();
    Promise.resolve().then(stop).then(() => process.exit(0), (error) => {
      process.stderr.write(`stop failed: ${error?.stack ?? error}\n`);
      process.exit(1);
    });
  };
  process.on('SIGTERM', () => finish('SIGTERM'));
  process.on('SIGINT', () => finish('SIGINT'));
  if (exitWithStdin) {
    process.stdin.on('end', () => finish('end of stdin'));
    process.stdin.on('error', () => finish('stdin error'));
    process.stdin.resume();
  }
  if (parentPid) {
    setInterval(() => {
      try {
        process.kill(parentPid, 0);
      } catch (error) {
        if (error.code === 'ESRCH') finish(`parent ${parentPid} gone`);
      }
    }, 500).unref();
  }
}

/** Minimal "--name value" / "--flag" parser; unknown options are an error. */
export function parseArgs(argv, known) {
  const options = {};
  for (let i = 0; i < argv.length; i++) {
    const name = argv[i].replace(/^--/, '');
    if (!argv[i].startsWith('--') || !(name in known)) {
      throw new Error(`unknown argument ${argv[i]}`);
    }
    if (known[name] === 'flag') {
      options[name] = true;
    } else {
      if (i + 1 >= argv.length) throw new Error(`${argv[i]} needs a value`);
      options[name] = argv[++i];
    }
  }
  return options;
}

/** Resolves with the loopback/bound URL once `server` listens on host:port (0 = any port). */
export function listen(server, host, port) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, () => {
      server.off('error', reject);
      const { address, port: bound } = server.address();
      const shown = address.includes(':') ? `[${address}]` : address;
      resolve(`http://${shown}:${bound}`);
    });
  });
}
