#!/usr/bin/env bash
# system.Shutdown, the system suite's clean-up: stops the root that system.Boot (boot.sh) left
# booted, whatever the tests between did, and removes it with everything it started. Nothing to
# do when no root is booted.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source tests/lib/own-cgroup.sh
state=build/system/booted
nspawn='' run=''
[ -f "$state" ] || exit 0
# shellcheck source=/dev/null
source "$state"
if kill -0 "$nspawn" 2>/dev/null; then
  kill -TERM "$nspawn"  # nspawn asks the container's systemd to power off
  for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
fi
# Whatever is left in the root's cgroups, the container's processes included, goes now.
removeCgroups
rm -rf "$run" "$state"
echo "the booted root is stopped and removed"
