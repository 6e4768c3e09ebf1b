#!/bin/sh
# Starts the local storage and the server on free loopback ports (see dev.js for options and
# the lines printed), on the node that ../scripts/node.sh picks (Node 22 or later). Installs the
# pinned dependencies first when they are missing (../scripts/install-deps.sh installs the node
# runtime too).
set -e
cd "$(dirname "$0")"
node=$(../scripts/node.sh)
if [ ! -d node_modules/@aws-sdk/client-s3 ] || [ ! -d node_modules/@20minutes/s3rver ]; then
    PATH="$(dirname "$node"):$PATH" npm ci --no-audit --no-fund >&2
fi
exec "$node" dev.js "$@"
