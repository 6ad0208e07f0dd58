#!/usr/bin/env bash
# Proves the README's two set-up commands on a fresh machine: a minimal Debian 12 root
# (debootstrap minbase, cached under build/fresh/) with nothing but git, a clone of this
# repository's HEAD in it, and only the prerequisites the README lists for each command,
# installed as the README says. In systemd-nspawn, as root:
#   1. apt-get the release build's prerequisites; then, with a private network (the root's own
#      loopback), the first command builds and starts the server, which must answer;
#   2. scripts/install-deps.sh --clients; then, with a private network, the second command
#      must pass (the system and container suites skip: a container boots no other).
# Needs root, debootstrap and systemd-nspawn (scripts/install-deps.sh --package); exit 77
# (skipped) without them, unless WORLDS_REQUIRE_CLIENT_TOOLS=1. Usage: scripts/fresh-machine.sh
set -euo pipefail
cd "$(dirname "$0")/.."
mirror=${WORLDS_DEBIAN_MIRROR:-http://deb.debian.org/debian}
source scripts/suite.sh
[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, systemd-nspawn)"
for tool in debootstrap systemd-nspawn git; do
  command -v "$tool" >/dev/null || skip "missing $tool (scripts/install-deps.sh --package)"
done

# The README's commands, exactly as its first two lines of code give them.
mapfile -t commands < <(awk '/^```/ {n++; next} n == 1' README.md)
[ ${#commands[@]} = 2 ] || fail "README.md does not start with exactly two set-up commands"
# What the README says each needs.
release_needs="cmake ninja-build g++"

mkdir -p build/fresh
cache=build/fresh/bookworm-minbase-git
if [ ! -d "$cache" ]; then
  step "debootstrap a minimal Debian 12 with git into $cache (once; reused afterwards)"
  rm -rf "$cache.partial"
  debootstrap --variant=minbase --include=git,ca-certificates bookworm "$cache.partial" "$mirror" \
    > build/fresh/debootstrap.log 2>&1 || { tail -n 30 build/fresh/debootstrap.log; fail "debootstrap"; }
  mv "$cache.partial" "$cache"
fi
root=build/fresh/run
rm -rf "$root"
source scripts/own-cgroup.sh
trap 'set +e; rm -rf "$root"; leaveOwnCgroup' EXIT
enterOwnCgroup worlds-fresh
cp -a "$cache" "$root"
git clone -q --no-hardlinks "$PWD" "$root/root/worlds"
# This machine's own TLS trust (certificates of an intercepting proxy, say), which the fresh root
# needs to reach the registries this machine reaches; a machine without any copies nothing.
if compgen -G "/usr/local/share/ca-certificates/*.crt" > /dev/null; then
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
  systemd-nspawn --quiet --register=no --keep-unit -D "$root" update-ca-certificates > /dev/null
fi
# Run as a newcomer would: from the clone, as root, with the host's network only to install.
inside() {  # [--private-network] COMMAND: runs COMMAND with bash -c in the clone
  local network=()
  [ "$1" = --private-network ] && { network=(--private-network); shift; }
  systemd-nspawn --quiet --register=no --keep-unit "${network[@]}" -D "$root" --chdir=/root/worlds \
    --setenv=DEBIAN_FRONTEND=noninteractive --setenv=WORLDS_REQUIRE_CLIENT_TOOLS= \
    --setenv=NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt /bin/bash -c "$1"
}

step "the first command's prerequisites: apt-get install $release_needs"
inside "apt-get update -q && apt-get install -y -q --no-install-recommends $release_needs" > build/fresh/release-deps.log 2>&1 ||
  { tail -n 30 build/fresh/release-deps.log; fail "installing $release_needs"; }

step "the first command, with the root's own loopback: ${commands[0]}"
inside --private-network "
  ( ${commands[0]} ) > /root/server.log 2>&1 &
  for _ in \$(seq 600); do
    { exec 3<>/dev/tcp/127.0.0.1/9091; } 2>/dev/null && break
    sleep 0.5
  done
  printf 'GET /api/v1/worlds HTTP/1.1\r\n\r\n' >&3 || { tail -n 20 /root/server.log; exit 1; }
  cat <&3 > /root/answer
  kill %1
  tail -n 3 /root/server.log
  cat /root/answer; echo
  grep -q '\"title\":\"Example world\"' /root/answer" > build/fresh/release.log 2>&1 ||
  { tail -n 30 build/fresh/release.log; fail "the first command did not serve the worlds answer"; }
tail -n 5 build/fresh/release.log

step "the second command's prerequisites: scripts/install-deps.sh --clients"
inside "scripts/install-deps.sh --clients" > build/fresh/test-deps.log 2>&1 ||
  { tail -n 30 build/fresh/test-deps.log; fail "scripts/install-deps.sh --clients"; }
! grep -n 'EBADENGINE' build/fresh/test-deps.log || echo "(npm warns about engines: see above)"

step "the second command, with the root's own loopback: ${commands[1]}"
inside --private-network "${commands[1]}" > build/fresh/tests.log 2>&1 ||
  { tail -n 60 build/fresh/tests.log; fail "the second command failed on a fresh machine"; }
# CTest colours its summary: read it without the escapes.
sed 's/\x1b\[[0-9;]*m//g' build/fresh/tests.log | grep -E '^[0-9]+% tests passed|^The following tests did not run|^[[:space:]]+[0-9]+ - ' || true
echo "PASS: both README commands work on a fresh Debian 12"
