#!/usr/bin/env bash
# system.Boot, the system suite's setup: a minimal root of this machine's own Debian release
# (cached under build/system/), where the packages built here install, booted by systemd-nspawn
# with a private network (the container has only its own loopback; every request goes to its
# 127.0.0.1), with the packages and the 0.1.0 package (built once from its commit) copied in.
# The root stays booted for the suite's other tests, which read build/system/booted;
# system.Shutdown (shutdown.sh) stops it and everything it started.
# Exit 77 (skipped) when not root or a tool is missing, unless WORLDS_REQUIRE_CLIENT_TOOLS=1.
set -euo pipefail
export WORLDS_SYSTEM_BOOTING=1
# shellcheck source=tests/lib/system.sh
source "$(dirname "$0")/../lib/system.sh"
mirror=${WORLDS_DEBIAN_MIRROR:-http://deb.debian.org/debian}
# What the container has besides the package: systemd, curl for requests, nginx and ssl-cert for
# the front (with its snakeoil certificate), openssl to read that certificate, mtail for the
# metrics package and Prometheus to scrape it.
container_packages=systemd,systemd-sysv,dbus,curl,nginx,ssl-cert,openssl,mtail,prometheus
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
cache=build/system/$release-minbase-$(cksum <<<"$container_packages" | cut -d' ' -f1)
# The last commit of version 0.1.0, whose package the upgrade starts from.
v010_commit=f268d513055d8a31cbfcfc042f77f7d32a90ccb2

[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, systemd-nspawn, nsenter)"
# A root that an earlier run left booted goes first, whether or not this run boots one.
bash tests/system/shutdown.sh
for tool in debootstrap systemd-nspawn nsenter dpkg-deb python3 git node h2load testssl; do
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
front_deb=$(ls build/package/worlds-server-nginx_*_all.deb)
metrics_deb=$(ls build/package/worlds-server-metrics_*_all.deb)

# The 0.1.0 package, built once from its commit in a clone of this repository.
old_deb=build/system/worlds-server_0.1.0_$(dpkg --print-architecture).deb
if [ ! -f "$old_deb" ] && ! git cat-file -e "$v010_commit^{commit}" 2>/dev/null; then
  # A shallow clone lacks the commit: the upgrade from it cannot be checked here.
  echo "skipped: the upgrade from 0.1.0, whose commit $v010_commit is not in this clone (a shallow one?)"
  old_deb=
fi
if [ -n "$old_deb" ] && [ ! -f "$old_deb" ]; then
  step "building the 0.1.0 package (once; reused afterwards)"
  rm -rf build/system/v0.1.0
  git clone -q --no-checkout "$source_dir" build/system/v0.1.0
  git -C build/system/v0.1.0 checkout -q "$v010_commit" || fail "commit $v010_commit (0.1.0) is not in this clone"
  # Built as its own package.sh builds it, without its lintian run: a later release's lintian
  # may fault its paths (Debian 13's, its units in /lib), and it is only where the upgrade starts.
  # dpkg-buildpackage leaves the package beside the tree: that is $old_deb.
  (cd build/system/v0.1.0 && scripts/install-deps.sh --package && dpkg-buildpackage -b -us -uc) \
    > build/system/v0.1.0.log 2>&1 || { tail -n 30 build/system/v0.1.0.log; fail "building the 0.1.0 package"; }
  [ -f "$old_deb" ] || fail "building the 0.1.0 package left no $old_deb"
  rm -rf build/system/v0.1.0 build/system/worlds_0.1.0_*
fi

if [ ! -f "$cache/.complete" ]; then
  step "debootstrap into $cache (once; reused afterwards)"
  rm -rf "$cache"
  debootstrap --variant=minbase --include="$container_packages" "$release" "$cache" "$mirror" \
    > build/system/debootstrap.log 2>&1 || { tail -n 30 build/system/debootstrap.log; fail "debootstrap"; }
  touch "$cache/.complete"
fi

run=build/system/run
source tests/lib/own-cgroup.sh
booted=false
# Unless the root booted, nothing of it stays.
trap '$booted || { set +e; leaveOwnCgroup; rm -rf "$run"; }' EXIT
enterOwnCgroup worlds-system

step "booting $deb under systemd"
rm -rf "$run"
cp -a "$cache" "$run"
cp "$deb" "$front_deb" "$metrics_deb" $old_deb "$run/root/"
# In a session of its own, so that it outlives this test.
setsid systemd-nspawn --quiet --boot --private-network --register=no --keep-unit -D "$run" \
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
state_now=
for _ in $(seq 300); do
  state_now=$(inside systemctl is-system-running 2>/dev/null || true)
  case $state_now in running | degraded) break ;; esac
  sleep 0.1
done
case $state_now in running | degraded) ;; *) fail "the container did not finish booting: $state_now" ;; esac

# What the other tests read: the container, its cgroups, and the packages in its /root.
{
  printf 'nspawn=%q leader=%q run=%q\n' "$nspawn" "$leader" "$run"
  printf 'deb=%q front_deb=%q metrics_deb=%q old_deb=%q\n' "$deb" "$front_deb" "$metrics_deb" "$old_deb"
  printf 'own_cgroups=(%s)\n' "$(printf '%q ' "${own_cgroups[@]}")"
} > "$state"
booted=true
# This shell leaves the cgroups to the container.
stepOutOfOwnCgroup
echo "booted: systemd $leader in $run ($state_now)"
