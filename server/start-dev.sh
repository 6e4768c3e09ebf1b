#!/bin/sh
# Starts the local storage and the server on free loopback ports (see dev.js for options and
# the lines printed). Installs the pinned dependencies first when they are missing.
set -e
cd "$(dirname "$0")"
if [ ! -d node_modules/@aws-sdk/client-s3 ] || [ ! -d node_modules/@20minutes/s3rver ]; then
    npm ci --no-audit --no-fund >&2
fi
exec node dev.js "$@"
