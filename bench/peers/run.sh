#!/usr/bin/env bash
# The plugin against curl, the AWS CLI and rclone on a Ceph RADOS Gateway, side by side:
#   bench/peers/run.sh [--build DIR] [--gateway DIR] [--rounds N] [--size-mib N] [--files N]
#                      [--only ABC]
# Installs Debian's awscli and rclone when missing (benchmarks only: CI does not need them),
# builds bench_peers, vxupload and the plugin in DIR (default: build), starts a gateway in a
# temporary folder unless --gateway names a running one (scripts/rgw.sh start DIR), runs
# bench_peers (see bench/peers/bench_peers.cpp) and stops the gateway it started. The peers are
# configured in bench_peers' own temporary folder: ~/.aws and ~/.config stay untouched.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build
gateway=
pass=()
while (($#)); do
    case $1 in
    --build) build=$(realpath -m "$2"); shift 2 ;;
    --gateway) gateway=$(realpath -m "$2"); shift 2 ;;
    --rounds | --size-mib | --files | --only) pass+=("$1" "$2"); shift 2 ;;
    *) sed -n '2,3s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
    esac
done

missing=()
[ -x /usr/bin/aws ] || missing+=(awscli)
[ -x /usr/bin/rclone ] || missing+=(rclone)
if ((${#missing[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# A pip-installed aws earlier in PATH is another version: bench_peers runs /usr/bin/aws.
/usr/bin/aws --version
/usr/bin/rclone version | head -n 1

[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2 --target bench_peers

if [ -z "$gateway" ]; then
    gateway=$(mktemp -d /tmp/vx-peers-rgw.XXXXXX)
    trap '"$root/scripts/rgw.sh" stop "$gateway"; rm -rf "$gateway"' EXIT
    "$root/scripts/rgw.sh" start "$gateway"
fi
"$build/bin/bench_peers" --gateway "$gateway" --aws /usr/bin/aws --rclone /usr/bin/rclone \
    "${pass[@]}"
