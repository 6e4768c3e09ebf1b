#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12, only where it is missing.
# Needs root (or sudo) for apt-get when anything is missing.
set -euo pipefail

packages=(build-essential cmake pkg-config qtbase5-dev libcurl4-openssl-dev curl ca-certificates)
# Ceph's RADOS Gateway with one monitor and one OSD: the S3 engine of the gateway end-to-end
# tests (scripts/rgw.sh).
packages+=(ceph-mon ceph-osd radosgw ceph-common)
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The reference server's exact dependencies, from its lockfile. npm ci wipes node_modules first,
# so it runs only when the installed tree is missing or older than the lockfile: a server or test
# running from this checkout keeps its modules.
root=$(cd "$(dirname "$0")/.." && pwd)
lock="$root/server/package-lock.json"
installed="$root/server/node_modules/.package-lock.json"
if [ -f "$lock" ] && { [ ! -f "$installed" ] || [ "$lock" -nt "$installed" ]; }; then
    (cd "$root/server" && npm ci --no-audit --no-fund --loglevel=error)
fi
