// Test support (not a test file): runs dev.js or storage.js as a child process on free loopback
// ports and talks to it over real HTTP.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const SERVER_DIR = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
export const BUCKET = 'uploads';
export const TOKEN = 'test-token-0123456789';

/** Starts node <script>; resolves once it printed "LISTENING <url>" (lines: its "KEY url"s). */
export async function startProcess(script, { args = [], env = {} } = {}) {
  const child = spawn(process.execPath,
    [script, ...args, '--parent-pid', String(process.pid)], {
      cwd: SERVER_DIR,
      env: { ...process.env, AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED: 'true', ...env },
    });
  const output = { stdout: '', stderr: '' };
  child.stderr.on('data', (data) => { output.stderr += data; });
  child.stdout.on('data', (data) => { output.stdout += data; });
  const exited = once(child, 'exit');
  const timer = setTimeout(() => child.kill('SIGKILL'), 15000);
  while (!/^LISTENING /m.test(output.stdout)) {
    const [what] = await Promise.race([once(child.stdout, 'data'), exited.then(() => ['exit'])]);
    if (what === 'exit') throw new Error(`${script} did not start:\n${output.stderr}`);
  }
  clearTimeout(timer);
  const lines = Object.fromEntries(output.stdout.trim().split('\n').map((l) => l.split(' ')));
  return {
    child, lines, output, url: lines.LISTENING,
    /** SIGTERM (SIGKILL after 5 s); resolves the exit code. */
    async stop() {
      if (child.exitCode === null) child.kill('SIGTERM');
      const killer = setTimeout(() => child.kill('SIGKILL'), 5000);
      const [code] = await exited;
      clearTimeout(killer);
      return code;
    },
  };
}

/** POSTs `body` (an object as JSON, a string as it is); resolves { status, json }. */
export async function post(baseUrl, apiPath, body, { token = TOKEN, headers = {} } = {}) {
  const response = await fetch(baseUrl + apiPath, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json',
      ...(token ? { Authorization: `Bearer ${token}` } : {}), ...headers },
    body: typeof body === 'string' ? body : JSON.stringify(body),
  });
  return { status: response.status, json: await response.json() };
}

/** PUTs bytes to a pre-signed URL; resolves the ETag without quotes. */
export async function put(url, bytes) {
  const response = await fetch(url, { method: 'PUT', body: bytes });
  if (response.status !== 200) throw new Error(`PUT failed with ${response.status}`);
  return response.headers.get('etag').replace(/"/g, '');
}

export async function download(url) {
  const response = await fetch(url);
  if (response.status !== 200) throw new Error(`GET failed with ${response.status}`);
  return Buffer.from(await response.arrayBuffer());
}
