#!/usr/bin/env bash
# Proves the README's two set-up commands on a fresh machine of a Debian release: a minimal root
# of RELEASE (debootstrap minbase, cached under build/fresh/) with nothing but git, a clone of
# this repository's HEAD in it, and nothing installed for the project. In systemd-nspawn, as
# root, each command exactly as the README gives it: its first step (scripts/install-deps.sh,
# which installs what the rest needs) with the host's network, the rest with a private network
# (the root's own loopback):
#   1. the first command builds and starts the server, which must answer;
#   2. the second command must pass (the system and container suites skip: a container boots
#      no other);
#   3. then the Debian packages build there and lintian passes them (scripts/package.sh).
# Needs root, debootstrap and systemd-nspawn (scripts/install-deps.sh --package); exit 77
# (skipped) without them, unless WORLDS_REQUIRE_CLIENT_TOOLS=1.
# Usage: scripts/fresh-machine.sh [trixie|bookworm]   (trixie, Debian 13, when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."
mirror=${WORLDS_DEBIAN_MIRROR:-http://deb.debian.org/debian}
release=${1:-trixie}
case $release in trixie) name="Debian 13" ;; bookworm) name="Debian 12" ;; *) echo "usage: scripts/fresh-machine.sh [trixie|bookworm]" >&2; exit 2 ;; esac
source tests/lib/suite.sh
[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, systemd-nspawn)"
for tool in debootstrap systemd-nspawn git; do
  command -v "$tool" >/dev/null || skip "missing $tool (scripts/install-deps.sh --package)"
done

# The README's commands, exactly as its first two lines of code give them; each begins with the
# step that installs what it needs.
mapfile -t commands < <(awk '/^```/ {n++; next} n == 1' README.md)
[ ${#commands[@]} = 2 ] || fail "README.md does not start with exactly two set-up commands"
for command in "${commands[@]}"; do
  [[ $command == "scripts/install-deps.sh"*" && "* ]] || fail "a README command does not begin with scripts/install-deps.sh: $command"
done

mkdir -p build/fresh
cache=build/fresh/$release-minbase-git
if [ ! -d "$cache" ]; then
  step "debootstrap a minimal $name with git into $cache (once; reused afterwards)"
  rm -rf "$cache.partial"
  debootstrap --variant=minbase --include=git,ca-certificates "$release" "$cache.partial" "$mirror" \
    > build/fresh/debootstrap-$release.log 2>&1 || { tail -n 30 build/fresh/debootstrap-$release.log; fail "debootstrap"; }
  mv "$cache.partial" "$cache"
fi
root=build/fresh/run-$release
rm -rf "$root"
source tests/lib/own-cgroup.sh
trap 'set +e; rm -rf "$root"; leaveOwnCgroup' EXIT
enterOwnCgroup "worlds-fresh-$release"
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
install_step() { echo "${1%% && *}"; }
rest() { echo "${1#* && }"; }

step "$name, the first command's install step: $(install_step "${commands[0]}")"
inside "$(install_step "${commands[0]}")" > build/fresh/release-deps-$release.log 2>&1 ||
  { tail -n 30 build/fresh/release-deps-$release.log; fail "the first command's install step"; }

step "the rest of the first command, with the root's own loopback: $(rest "${commands[0]}")"
inside --private-network "
  ( $(rest "${commands[0]}") ) > /root/server.log 2>&1 &
  for _ in \$(seq 600); do
    { exec 3<>/dev/tcp/127.0.0.1/9091; } 2>/dev/null && break
    sleep 0.5
  done
  printf 'GET /api/v1/worlds HTTP/1.1\r\n\r\n' >&3 || { tail -n 20 /root/server.log; exit 1; }
  cat <&3 > /root/answer
  kill %1
  tail -n 3 /root/server.log
  cat /root/answer; echo
  grep -q '\"title\":\"Example world\"' /root/answer" > build/fresh/release-$release.log 2>&1 ||
  { tail -n 30 build/fresh/release-$release.log; fail "the first command did not serve the worlds answer"; }
tail -n 5 build/fresh/release-$release.log

step "the second command's install step: $(install_step "${commands[1]}")"
inside "$(install_step "${commands[1]}")" > build/fresh/test-deps-$release.log 2>&1 ||
  { tail -n 30 build/fresh/test-deps-$release.log; fail "the second command's install step"; }
! grep -n 'EBADENGINE' build/fresh/test-deps-$release.log || echo "(npm warns about engines: see above)"

step "the rest of the second command, with the root's own loopback: $(rest "${commands[1]}")"
inside --private-network "$(rest "${commands[1]}")" > build/fresh/tests-$release.log 2>&1 ||
  { tail -n 60 build/fresh/tests-$release.log; fail "the second command failed on a fresh $name"; }
# CTest colours its summary: read it without the escapes.
sed 's/\x1b\[[0-9;]*m//g' build/fresh/tests-$release.log | grep -E '^[0-9]+% tests passed|^The following tests did not run|^[[:space:]]+[0-9]+ - ' || true

step "the Debian packages, built and checked by lintian on $name: scripts/package.sh"
inside "scripts/install-deps.sh --package" > build/fresh/package-deps-$release.log 2>&1 ||
  { tail -n 30 build/fresh/package-deps-$release.log; fail "scripts/install-deps.sh --package"; }
inside --private-network "scripts/package.sh" > build/fresh/package-$release.log 2>&1 ||
  { tail -n 40 build/fresh/package-$release.log; fail "scripts/package.sh on a fresh $name"; }
tail -n 4 build/fresh/package-$release.log
echo "PASS: both README commands work on a fresh $name, and its packages pass lintian"
