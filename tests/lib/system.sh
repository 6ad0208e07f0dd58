# shellcheck shell=bash
# Sourced by the system suite's tests (tests/system/*.sh), which share one booted root:
# system.Boot (boot.sh) boots it and writes its state to $state; system.Shutdown (shutdown.sh)
# stops it. Each test after boot.sh sources this file, which skips the test when there is no
# booted root (boot.sh skipped: not root, or a tool missing), and gives:
#   inside CMD...       CMD in every namespace of the booted root
#   clients ARGS...     tests/lib/clients.py in the root's network namespace
#   answers_exactly     the server's answer on 127.0.0.1:9091 inside is the expected one, byte for byte
#   ensure_server, ensure_front
#                       the new worlds-server (and worlds-server-nginx) installed and serving, so
#                       that a test runs whatever an earlier one left behind
#   load_under_way SECONDS, still_loading WHAT
#                       8 clients in the background ($load) from their first answer on
#   h2load_totals LOG   what h2load's runs in LOG add up to: runs, 2xx, 4xx, 5xx, and requests
#                       errored or timed out; fails on a line it cannot read
source_dir=${WORLDS_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
cd "$source_dir" || exit 1
source tests/lib/suite.sh
state=build/system/booted
# What $state sets (boot.sh writes it): the container, its cgroups, the packages in its /root.
# shellcheck disable=SC2034 # the tests and boot.sh use them
nspawn='' leader='' run='' deb='' front_deb='' metrics_deb='' old_deb='' own_cgroups=()

if [ "${WORLDS_SYSTEM_BOOTING:-}" != 1 ]; then
  [ -f "$state" ] || skip "no booted root: system.Boot did not boot one (it says why)"
  # shellcheck source=/dev/null
  source "$state"
  kill -0 "$leader" 2>/dev/null || fail "the booted root's systemd ($leader) is gone: see build/system/console.log"
  # The flood holds thousands of connections: this process needs the descriptors.
  ulimit -n "$(ulimit -Hn)"
fi

version=$(sed -n 's/^project(worlds VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
workers=(worlds-server@1 worlds-server@2)
# shellcheck disable=SC2034 # the tests that source this file compare answers with it
body=$(tail -c 130 tests/data/worlds-answer.http)
inside() { nsenter -t "$leader" -a "$@"; }
clients() { nsenter -t "$leader" -n python3 tests/lib/clients.py "$@"; }
installed() { [ "$(inside dpkg-query -W -f '${db:Status-Status} ${Version}' "$1" 2>/dev/null)" = "installed $version" ]; }
answers_exactly() {
  for _ in $(seq 50); do
    inside curl -s -i http://127.0.0.1:9091/api/v1/worlds > build/system/answer && break
    sleep 0.1
  done
  cmp tests/data/worlds-answer.http build/system/answer || fail "the answer differs: $(cat -A build/system/answer)"
}
nrestarts() { for w in "${workers[@]}"; do echo -n "$w $(inside systemctl show -p NRestarts --value "$w") "; done; }
sum_nrestarts() { local n=0 w; for w in "${workers[@]}"; do n=$((n + $(inside systemctl show -p NRestarts --value "$w"))); done; echo $n; }
dpkg_inside() {  # WHAT ARGS...: dpkg ARGS inside, its output shown if it fails
  local what=$1; shift
  inside dpkg "$@" > build/system/dpkg.log 2>&1 || { cat build/system/dpkg.log; fail "$what"; }
}
ensure_server() {
  installed worlds-server || dpkg_inside "dpkg -i the new package" -i "/root/$(basename "$deb")"
  inside systemctl start worlds-server.socket "${workers[@]}"
  answers_exactly
}
ensure_front() {
  ensure_server
  installed worlds-server-nginx || dpkg_inside "dpkg -i worlds-server-nginx" -i "/root/$(basename "$front_deb")"
  inside systemctl is-active --quiet nginx || inside systemctl start nginx
}

load_under_way() {
  rm -f build/system/load.started
  clients load "$1" --started build/system/load.started > build/system/load.log 2>&1 &
  load=$!
  awaitStarted build/system/load.started build/system/load.log
}
still_loading() { kill -0 "$load" 2>/dev/null || fail "the load ended before $1 was over: it did not run during it"; }

h2load_totals() {
  awk 'function bad() { printf "h2load_totals: a line of an unknown format: %s\n", $0 > "/dev/stderr"; failed = 1; exit 1 }
    /^requests:/ {
      if ($3 != "total," || $9 != "succeeded," || $11 != "failed," || $13 != "errored," || $15 != "timeout") bad()
      runs++; errored += $12; timeout += $14
    }
    /^status codes:/ {
      if ($4 != "2xx," || $6 != "3xx," || $8 != "4xx," || $10 != "5xx") bad()
      codes++; ok += $3; c4 += $7; c5 += $9
    }
    END {
      if (failed) exit 1
      if (runs != codes) { printf "h2load_totals: %d runs but %d lines of status codes\n", runs, codes > "/dev/stderr"; exit 1 }
      printf "%d %d %d %d %d", runs, ok, c4, c5, errored + timeout
    }' "$1" || fail "h2load's output in $1 is not in a format this suite knows"
}
