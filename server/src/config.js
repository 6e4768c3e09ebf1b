// Server settings, read once from environment variables. README.md documents every variable.
import { randomBytes } from 'node:crypto';

export const LOG_LEVELS = ['error', 'warn', 'info', 'debug'];

// SigV4 pre-signed URLs cannot live longer than seven days.
const MAX_URL_LIFETIME = 7 * 24 * 3600;

export class ConfigError extends Error {}

function text(env, name, fallback = '') {
  const value = env[name];
  return value === undefined || value.trim() === '' ? fallback : value.trim();
}

function flag(env, name, fallback) {
  const value = text(env, name).toLowerCase();
  if (value === '') return fallback;
  if (['1', 'true', 'yes', 'on'].includes(value)) return true;
  if (['0', 'false', 'no', 'off'].includes(value)) return false;
  throw new ConfigError(`${name} must be true or false, not "${value}"`);
}

function integer(env, name, fallback, min, max) {
  const value = text(env, name);
  if (value === '') return fallback;
  if (!/^\d+$/.test(value) || Number(value) < min || Number(value) > max) {
    throw new ConfigError(`${name} must be an integer from ${min} to ${max}, not "${value}"`);
  }
  return Number(value);
}

function endpoint(env, name) {
  const value = text(env, name);
  if (value === '') return undefined;
  let url;
  try {
    url = new URL(value);
  } catch {
    throw new ConfigError(`${name} is not a URL: "${value}"`);
  }
  if (url.protocol !== 'http:' && url.protocol !== 'https:') {
    throw new ConfigError(`${name} must be an http or https URL`);
  }
  return value.replace(/\/+$/, '');
}

/**
 * Builds the configuration from `env`. Throws ConfigError for a value that cannot be used, so
 * that a misconfigured server stops at start-up instead of failing on the first request.
 */
export function loadConfig(env = process.env) {
  const buckets = text(env, 'S3_BUCKETS').split(',').map((b) => b.trim()).filter(Boolean);
  if (buckets.length === 0) {
    throw new ConfigError('S3_BUCKETS must list at least one bucket (comma separated)');
  }
  const accessKeyId = text(env, 'S3_ACCESS_KEY_ID');
  const secretAccessKey = text(env, 'S3_SECRET_ACCESS_KEY');
  if (Boolean(accessKeyId) !== Boolean(secretAccessKey)) {
    throw new ConfigError('S3_ACCESS_KEY_ID and S3_SECRET_ACCESS_KEY go together');
  }
  const logLevel = text(env, 'LOG_LEVEL', 'info').toLowerCase();
  if (!LOG_LEVELS.includes(logLevel)) {
    throw new ConfigError(`LOG_LEVEL must be one of ${LOG_LEVELS.join(', ')}`);
  }
  const authSecret = text(env, 'AUTH_SECRET');
  if (authSecret !== '' && authSecret.length < 16) {
    throw new ConfigError('AUTH_SECRET must be at least 16 characters long');
  }
  const staleUploadAge = integer(env, 'STALE_UPLOAD_AGE_SECONDS', 86400, 1, 365 * 24 * 3600);
  return Object.freeze({
    listenHost: text(env, 'LISTEN_HOST', '127.0.0.1'),
    listenPort: integer(env, 'LISTEN_PORT', 8080, 0, 65535),
    s3Endpoint: endpoint(env, 'S3_ENDPOINT'),
    s3PublicEndpoint: endpoint(env, 'S3_PUBLIC_ENDPOINT'),
    s3Region: text(env, 'S3_REGION', 'us-east-1'),
    s3Credentials: accessKeyId ? { accessKeyId, secretAccessKey } : undefined,
    s3ForcePathStyle: flag(env, 'S3_FORCE_PATH_STYLE', false),
    buckets: Object.freeze(buckets),
    createBuckets: flag(env, 'S3_CREATE_BUCKETS', false),
    apiToken: text(env, 'API_TOKEN') || undefined,
    // Without a configured secret, authorizations are only valid for this process's lifetime.
    authSecret: authSecret || randomBytes(32).toString('hex'),
    authSecretGenerated: authSecret === '',
    urlLifetime: integer(env, 'URL_EXPIRES_SECONDS', 3600, 1, MAX_URL_LIFETIME),
    // A client keeps the latest authorization of an upload to complete or resume it later, so
    // by default an authorization lives as long as the storage keeps an unfinished upload.
    authLifetime: integer(env, 'AUTH_EXPIRES_SECONDS', staleUploadAge, 1, 365 * 24 * 3600),
    // Multipart uploads started longer ago than staleUploadAge seconds are aborted by a sweep
    // every staleUploadSweep seconds (0: no sweep).
    staleUploadAge,
    staleUploadSweep: integer(env, 'STALE_UPLOAD_SWEEP_SECONDS', 3600, 0, 7 * 24 * 3600),
    // Parts per ListParts page (S3's maximum is 1000); smaller only to test the paging.
    listPartsPageSize: integer(env, 'S3_LIST_PARTS_PAGE_SIZE', 1000, 1, 1000),
    maxBodyBytes: integer(env, 'MAX_BODY_BYTES', 1024 * 1024, 1024, 64 * 1024 * 1024),
    // A warning when the event loop was held up longer than this (0: no watch).
    eventLoopWarnMs: integer(env, 'EVENT_LOOP_WARN_MS', 500, 0, 600000),
    logLevel,
  });
}
