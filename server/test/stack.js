// Test support: runs dev.js (storage + server on free loopback ports) as a child process and
// talks to it over real HTTP. Not a test file itself.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const SERVER_DIR = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
export const BUCKET = 'uploads';
export const TOKEN = 'test-token-0123456789';

/** Starts node <script> and resolves when it printed its LISTENING line. */
export async function startProcess(script, { args = [], env = {} } = {}) {
  const child = spawn(process.execPath, [path.join(SERVER_DIR, script), ...args,
    '--parent-pid', String(process.pid)], {
    cwd: SERVER_DIR,
    env: { ...process.env, AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED: 'true', ...env },
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  const killOnExit = () => child.kill('SIGKILL');
  process.on('exit', killOnExit);
  const output = { stdout: '', stderr: '' };
  child.stderr.on('data', (data) => { output.stderr += data; });
  const lines = {};
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${script} did not start:\n${output.stderr}`)),
      15000);
    child.stdout.on('data', (data) => {
      output.stdout += data;
      for (const line of output.stdout.split('\n')) {
        const match = /^([A-Z]+) (\S+)$/.exec(line);
        if (match) lines[match[1]] = match[2];
      }
      if (lines.LISTENING) {
        clearTimeout(timer);
        resolve();
      }
    });
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`${script} exited with ${code}:\n${output.stderr}`));
    });
  });
  child.removeAllListeners('exit');
  return {
    child,
    lines,
    output,
    url: lines.LISTENING,
    /** SIGTERM, then the exit code (SIGKILL after 5 s). */
    async stop() {
      process.off('exit', killOnExit);
      if (child.exitCode !== null) return child.exitCode;
      const exited = once(child, 'exit');
      child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
      const [code] = await exited;
      clearTimeout(timer);
      return code;
    },
  };
}

/** POSTs `body` (an object is sent as JSON, a string as it is); resolves { status, json }. */
export async function post(baseUrl, apiPath, body, { token = TOKEN, headers = {} } = {}) {
  const response = await fetch(baseUrl + apiPath, {
    method: 'POST',
    headers: {
      'Content-Type': 'application/json',
      ...(token ? { Authorization: `Bearer ${token}` } : {}),
      ...headers,
    },
    body: typeof body === 'string' ? body : JSON.stringify(body),
  });
  const text = await response.text();
  return { status: response.status, json: text ? JSON.parse(text) : undefined };
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
