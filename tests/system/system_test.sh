#!/usr/bin/env bash
# Boots the Debian package's unit under a real systemd: a minimal Debian 12 root (cached under
# build/system/), the built .deb installed with dpkg inside it, so the package's own scripts
# enable and start the unit, booted by systemd-nspawn with a private network (the container has
# only its own loopback; every request goes to its 127.0.0.1). Then it checks the service, its
# answer, its hardening, its restarts after fatal exits, its journal and its stop, and always
# stops the container and everything it started.
# Exit 77 (skipped) when not root or a tool is missing, unless WORLDS_REQUIRE_CLIENT_TOOLS=1.
set -euo pipefail
source_dir=${WORLDS_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$source_dir"
mirror=${WORLDS_DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=build/system/bookworm-minbase
restarts=20

skip() {
  if [ "${WORLDS_REQUIRE_CLIENT_TOOLS:-}" = 1 ]; then echo "FAIL: $1 (WORLDS_REQUIRE_CLIENT_TOOLS=1)" >&2; exit 1; fi
  echo "skipped: $1"
  exit 77
}
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, systemd-nspawn, nsenter)"
for tool in debootstrap systemd-nspawn nsenter dpkg-deb python3 git; do
  command -v "$tool" >/dev/null || skip "missing $tool (scripts/install-deps.sh --package)"
done

mkdir -p build/system

# The package, rebuilt when a source is newer than it.
deb=$(ls build/package/worlds-server_*_"$(dpkg --print-architecture)".deb 2>/dev/null | head -n1 || true)
if [ -z "$deb" ] || [ -n "$(find src packaging debian CMakeLists.txt -newer "$deb" -print -quit)" ]; then
  step "building the package"
  scripts/package.sh
  deb=$(ls build/package/worlds-server_*_"$(dpkg --print-architecture)".deb)
fi

if [ ! -f "$cache/.complete" ]; then
  step "debootstrap into $cache (once; reused afterwards)"
  rm -rf "$cache"
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,curl bookworm "$cache" "$mirror" \
    > build/system/debootstrap.log 2>&1 || { tail -n 30 build/system/debootstrap.log; fail "debootstrap"; }
  touch "$cache/.complete"
fi

run=build/system/run.$$
nspawn=
cgroups=()
cleanup() {
  set +e
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    kill -TERM "$nspawn"  # nspawn asks the container's systemd to power off
    for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
  fi
  # Whatever is left in this run's cgroups, the container's processes included, goes now.
  for cg in "${cgroups[@]}"; do
    for p in $(find "$cg" -name cgroup.procs -exec cat {} + 2>/dev/null); do
      [ "$p" = $$ ] || kill -KILL "$p" 2>/dev/null
    done
  done
  [ -n "$nspawn" ] && wait "$nspawn" 2>/dev/null
  for cg in "${cgroups[@]}"; do
    echo $$ > "$(dirname "$cg")/cgroup.procs"
    for _ in $(seq 50); do find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null; [ -d "$cg" ] || break; sleep 0.1; done
  done
  rm -rf "$run"
}
trap cleanup EXIT

# nspawn needs a cgroup of its own to place the container in: this shell moves into a fresh
# one in each hierarchy systemd uses (the unified one, and the named v1 one of a hybrid host).
for hierarchy in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd /sys/fs/cgroup; do
  [ -f "$hierarchy/cgroup.procs" ] || continue
  [ "$hierarchy" = /sys/fs/cgroup ] && [ ${#cgroups[@]} -gt 0 ] && continue
  mkdir "$hierarchy/worlds-system.$$"
  cgroups+=("$hierarchy/worlds-system.$$")
  echo $$ > "$hierarchy/worlds-system.$$/cgroup.procs"
done

step "booting $deb under systemd"
cp -a "$cache" "$run"
cp "$deb" "$run/root/"
systemd-nspawn --quiet --boot --private-network --register=no --keep-unit -D "$run" \
  > build/system/console.log 2>&1 < /dev/null &
nspawn=$!
leader=
for _ in $(seq 100); do
  leader=$(pgrep -P "$nspawn" | head -n1 || true)
  [ -n "$leader" ] && [ "$(cat /proc/"$leader"/comm 2>/dev/null)" = systemd ] && break
  leader=
  sleep 0.1
done
[ -n "$leader" ] || fail "the container's systemd did not start; console: $(tail -n 5 build/system/console.log)"
inside() { nsenter -t "$leader" -a "$@"; }
state=
for _ in $(seq 300); do
  state=$(inside systemctl is-system-running 2>/dev/null || true)
  case $state in running | degraded) break ;; esac
  sleep 0.1
done
case $state in running | degraded) ;; *) fail "the container did not finish booting: $state" ;; esac

step "dpkg -i inside: the package enables and starts the unit"
inside dpkg -i "/root/$(basename "$deb")" > build/system/dpkg.log 2>&1 || { cat build/system/dpkg.log; fail "dpkg -i"; }
[ "$(inside systemctl is-enabled worlds-server)" = enabled ] || fail "the unit is not enabled"
inside systemctl is-active --quiet worlds-server || fail "the service is not active"

step "curl inside gets the worlds answer byte for byte"
printf '%s' 'HTTP/1.1 200 OK'$'\r\n''Connection: close'$'\r\n''Server: Tovren/0.1'$'\r\n' \
  'Content-Type: application/json'$'\r\n''X-Powered-By: Halvex/1.0'$'\r\n''Access-Control-Allow-Origin: *'$'\r\n'$'\r\n' \
  '{"worlds":[{"id":1234,"title":"Example world","description":"This is an example world!","category_ids":[14,36,24],"author_id":1}]}' \
  > build/system/expected
for _ in $(seq 50); do
  inside curl -s -i http://127.0.0.1:9091/api/v1/worlds > build/system/answer && break
  sleep 0.1
done
cmp build/system/expected build/system/answer || fail "the answer differs: $(cat -A build/system/answer)"

step "the main process: a dynamic non-root user, no new privileges, a seccomp filter"
main=$(inside systemctl show -p MainPID --value worlds-server)
status=$(inside cat "/proc/$main/status")
uid=$(awk '/^Uid:/ {print $2}' <<<"$status")
# systemd's dynamic users come from 61184-65519.
[ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] || fail "runs as uid $uid, not a dynamic user"
grep -qx $'NoNewPrivs:\t1' <<<"$status" || fail "NoNewPrivs is not 1"
grep -qx $'Seccomp:\t2' <<<"$status" || fail "no seccomp filter (Seccomp is not 2)"
echo "uid $uid, NoNewPrivs 1, Seccomp 2"

step "$restarts clients reset their connections mid-head: each ends the server, systemd restarts it"
nsenter -t "$leader" -n python3 tests/system/clients.py restarts $restarts
nrestarts=$(inside systemctl show -p NRestarts --value worlds-server)
[ "$nrestarts" = $restarts ] || fail "NRestarts is $nrestarts, not $restarts"
journal=$(inside journalctl -u worlds-server -o cat --no-pager)
[ "$(grep -c '^error: ConnectionResetByPeer$' <<<"$journal")" = $restarts ] ||
  fail "the journal does not hold $restarts lines 'error: ConnectionResetByPeer'"
last_exit=$(awk '/^error: / {block = ""} {block = block $0 "\n"} END {printf "%s", block}' <<<"$journal")
grep -Eq '^\./src/server/server\.cpp:[0-9]+:[0-9]+: in .*acceptLoop' <<<"$last_exit" &&
  grep -Eq '^\./src/main\.cpp:[0-9]+:[0-9]+: in int main\(\)$' <<<"$last_exit" ||
  fail "the last exit's trace is not in the journal: $last_exit"
echo "NRestarts $nrestarts; the journal of the last exit:"
inside journalctl -u worlds-server -o short --no-pager | awk '/error: ConnectionResetByPeer/ {n++} n == '$restarts

step "systemctl stop ends it with no error line"
cursor=$(inside journalctl -u worlds-server -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p')
inside systemctl stop worlds-server
[ "$(inside systemctl is-active worlds-server || true)" = inactive ] || fail "not inactive after stop"
[ "$(inside systemctl show -p Result --value worlds-server)" = success ] || fail "stop did not end in success"
after=$(inside journalctl -u worlds-server -o cat --no-pager --after-cursor="$cursor")
! grep -q '^error' <<<"$after" || fail "an error line after stop: $after"
echo "stopped; the journal after stop:"
echo "$after"
echo "PASS"
