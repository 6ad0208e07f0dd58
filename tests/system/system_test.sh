#!/usr/bin/env bash
# Boots the Debian package's units under a real systemd: a minimal root of this machine's own
# Debian release (cached under build/system/), where the package built here installs, booted by
# systemd-nspawn with a private network (the container has only its
# own loopback; every request goes to its 127.0.0.1). Inside it, version 0.1.0 (built once from
# its commit) is installed with dpkg and upgraded to the built .deb, so the packages' own scripts
# do the work. Then it checks the socket and the workers, their answer, their hardening and
# network, their restarts after fatal exits, clients under a hostile mix, during a restart of
# the workers and during an upgrade in place, the stop, the removal and the purge; and always
# stops the container and everything it started.
# Exit 77 (skipped) when not root or a tool is missing, unless WORLDS_REQUIRE_CLIENT_TOOLS=1.
set -euo pipefail
source_dir=${WORLDS_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$source_dir"
mirror=${WORLDS_DEBIAN_MIRROR:-http://deb.debian.org/debian}
# What the container has besides the package: systemd, curl for requests, nginx and ssl-cert for
# the front (with its snakeoil certificate), openssl to read that certificate, mtail for the
# metrics package and Prometheus to scrape it.
container_packages=systemd,systemd-sysv,dbus,curl,nginx,ssl-cert,openssl,mtail,prometheus
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
cache=build/system/$release-minbase-$(cksum <<<"$container_packages" | cut -d' ' -f1)
restarts=20
# The last commit of version 0.1.0, whose package the upgrade starts from.
v010_commit=f268d513055d8a31cbfcfc042f77f7d32a90ccb2

source scripts/suite.sh

[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, systemd-nspawn, nsenter)"
for tool in debootstrap systemd-nspawn nsenter dpkg-deb python3 git node h2load testssl; do
  command -v "$tool" >/dev/null || skip "missing $tool (scripts/install-deps.sh --package)"
done

mkdir -p build/system
# The flood holds thousands of connections: this process needs the descriptors.
ulimit -n "$(ulimit -Hn)"

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
arch=$(dpkg --print-architecture)
old_deb=build/system/worlds-server_0.1.0_$arch.deb
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

run=build/system/run.$$
nspawn=
source scripts/own-cgroup.sh
cleanup() {
  set +e
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    kill -TERM "$nspawn"  # nspawn asks the container's systemd to power off
    for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
  fi
  # Whatever is left in this run's cgroups, the container's processes included, goes now.
  leaveOwnCgroup
  [ -n "$nspawn" ] && wait "$nspawn" 2>/dev/null
  rm -rf "$run"
}
trap cleanup EXIT

enterOwnCgroup worlds-system

step "booting $deb under systemd"
cp -a "$cache" "$run"
cp "$deb" "$front_deb" "$metrics_deb" $old_deb "$run/root/"
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

new=/root/$(basename "$deb")
workers=(worlds-server@1 worlds-server@2)
cp tests/data/worlds-answer.http build/system/expected
answers_exactly() {
  for _ in $(seq 50); do
    inside curl -s -i http://127.0.0.1:9091/api/v1/worlds > build/system/answer && break
    sleep 0.1
  done
  cmp build/system/expected build/system/answer || fail "the answer differs: $(cat -A build/system/answer)"
}
clients() { nsenter -t "$leader" -n python3 tests/system/clients.py "$@"; }
nrestarts() { for w in "${workers[@]}"; do echo -n "$w $(inside systemctl show -p NRestarts --value "$w") "; done; }
sum_nrestarts() { local n=0; for w in "${workers[@]}"; do n=$((n + $(inside systemctl show -p NRestarts --value "$w"))); done; echo $n; }

if [ -n "$old_deb" ]; then
  step "dpkg -i of 0.1.0 inside: its single service answers"
  inside dpkg -i "/root/$(basename "$old_deb")" > build/system/dpkg.log 2>&1 || { cat build/system/dpkg.log; fail "dpkg -i 0.1.0"; }
  inside systemctl is-active --quiet worlds-server.service || fail "0.1.0's service is not active"
  answers_exactly
fi

step "dpkg -i of the new package${old_deb:+ over it}: the socket and two workers take over"
inside dpkg -i "$new" > build/system/dpkg.log 2>&1 || { cat build/system/dpkg.log; fail "dpkg -i (upgrade from 0.1.0)"; }
old_state=$(inside systemctl is-enabled worlds-server.service 2>&1 || true)
case $old_state in enabled*) fail "0.1.0's service is still enabled: $old_state" ;; esac
! inside systemctl is-active --quiet worlds-server.service || fail "0.1.0's service still runs"
for unit in worlds-server.socket "${workers[@]}"; do
  [ "$(inside systemctl is-enabled "$unit")" = enabled ] || fail "$unit is not enabled"
  inside systemctl is-active --quiet "$unit" || fail "$unit is not active"
done
answers_exactly
echo "worlds-server.service: $old_state; the socket and ${workers[*]} enabled and active"

step "each worker: a dynamic non-root user, no new privileges, a seccomp filter, only lo and no route"
for w in "${workers[@]}"; do
  main=$(inside systemctl show -p MainPID --value "$w")
  status=$(inside cat "/proc/$main/status")
  uid=$(awk '/^Uid:/ {print $2}' <<<"$status")
  # systemd's dynamic users come from 61184-65519.
  [ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] || fail "$w runs as uid $uid, not a dynamic user"
  grep -qx $'NoNewPrivs:\t1' <<<"$status" || fail "$w: NoNewPrivs is not 1"
  grep -qx $'Seccomp:\t2' <<<"$status" || fail "$w: no seccomp filter (Seccomp is not 2)"
  links=$(inside awk -F: 'NR > 2 {gsub(/ /, "", $1); print $1}' "/proc/$main/net/dev" | tr '\n' ' ')
  [ "$links" = "lo " ] || fail "$w sees network interfaces '$links', not only lo"
  [ "$(inside awk 'NR > 1' "/proc/$main/net/route" | wc -l)" = 0 ] || fail "$w has an IPv4 route"
  [ -z "$(inside awk '$10 != "lo"' "/proc/$main/net/ipv6_route")" ] || fail "$w has an IPv6 route off lo"
  echo "$w: uid $uid, NoNewPrivs 1, Seccomp 2, interfaces: $links, no route"
done

step "$restarts clients reset their connections mid-head: each ends one worker, the other answers"
clients restarts $restarts
# At least one restart per reset: on a busy machine a probe that gives up may cost one more.
[ "$(sum_nrestarts)" -ge $restarts ] || fail "NRestarts add up to $(sum_nrestarts), fewer than $restarts"
journal=$(inside journalctl -u 'worlds-server@*' -o cat --no-pager)
[ "$(grep -c '^error: ConnectionResetByPeer$' <<<"$journal")" -ge $restarts ] ||
  fail "the journal holds fewer than $restarts lines 'error: ConnectionResetByPeer'"
last_exit=$(awk '/^error: / {block = ""} {block = block $0 "\n"} END {printf "%s", block}' <<<"$journal")
grep -Eq '^\./src/server/server\.cpp:[0-9]+:[0-9]+: in .*acceptLoop' <<<"$last_exit" &&
  grep -Eq '^\./src/main\.cpp:[0-9]+:[0-9]+: in int main\(\)$' <<<"$last_exit" ||
  fail "the last exit's trace is not in the journal: $last_exit"
echo "NRestarts: $(nrestarts); the journal of the last exit:"
inside journalctl -u 'worlds-server@*' -o short --no-pager | awk '/error: ConnectionResetByPeer/ {n++} n == '"$(grep -c '^error: ConnectionResetByPeer$' <<<"$journal")"

step "10 s of 8 clients under a hostile mix (a reset mid-head every 300 ms, one silent client)"
clients load 10 hostile || fail "requests were lost under the hostile mix"
echo "NRestarts: $(nrestarts)"

# Starts `clients load SECONDS` in the background ($load) and returns once it has its first
# answer, so what follows happens while the load runs.
load_under_way() {
  rm -f build/system/load.started
  clients load "$1" --started build/system/load.started > build/system/load.log 2>&1 &
  load=$!
  awaitStarted build/system/load.started build/system/load.log
}
still_loading() { kill -0 "$load" 2>/dev/null || fail "the load ended before $1 was over: it did not run during it"; }

step "8 clients while both workers are restarted"
load_under_way 6
inside systemctl restart "${workers[@]}"
still_loading "the restart"
wait "$load" || { cat build/system/load.log; fail "requests were lost during the restart"; }
cat build/system/load.log

step "8 clients while the package is upgraded in place (dpkg -i again)"
socket_since=$(inside systemctl show -p ActiveEnterTimestampMonotonic --value worlds-server.socket)
mains_before=$(for w in "${workers[@]}"; do inside systemctl show -p MainPID --value "$w"; done)
load_under_way 10
inside dpkg -i "$new" > build/system/dpkg.log 2>&1 || { cat build/system/dpkg.log; fail "dpkg -i (in place)"; }
still_loading "the upgrade"
wait "$load" || { cat build/system/load.log; fail "requests were lost during the upgrade"; }
cat build/system/load.log
[ "$(inside systemctl show -p ActiveEnterTimestampMonotonic --value worlds-server.socket)" = "$socket_since" ] ||
  fail "the upgrade restarted the socket"
mains_after=$(for w in "${workers[@]}"; do inside systemctl show -p MainPID --value "$w"; done)
[ -z "$(comm -12 <(sort <<<"$mains_before") <(sort <<<"$mains_after"))" ] || fail "a worker was not restarted"
echo "the socket kept running; the workers were restarted ($(tr '\n' ' ' <<<"$mains_before")-> $(tr '\n' ' ' <<<"$mains_after"))"

step "dpkg -i of worlds-server-nginx over a broken nginx configuration fails and leaves the site disabled"
echo 'this is not nginx;' | inside tee /etc/nginx/conf.d/broken.conf > /dev/null
if inside dpkg -i "/root/$(basename "$front_deb")" > build/system/dpkg.log 2>&1; then
  fail "dpkg -i worlds-server-nginx succeeded with a configuration nginx -t refuses"
fi
! inside test -e /etc/nginx/sites-enabled/worlds-server || fail "the site stayed enabled after nginx -t failed"
inside systemctl is-active --quiet nginx || fail "nginx stopped when the installation failed"
inside rm /etc/nginx/conf.d/broken.conf
echo "the installation failed, the site is not enabled, nginx still runs"

step "dpkg --configure of worlds-server-nginx once nginx -t passes: the front on port 8091"
inside dpkg --configure worlds-server-nginx > build/system/dpkg.log 2>&1 ||
  { cat build/system/dpkg.log; fail "dpkg --configure worlds-server-nginx"; }
inside test -L /etc/nginx/sites-enabled/worlds-server || fail "the site is not enabled"
inside nginx -t -q || fail "nginx -t fails"
body=$(tail -c 130 build/system/expected)
for url in http://127.0.0.1:8091/api/v1/worlds 'http://[::1]:8091/api/v1/worlds'; do
  [ "$(inside curl -s -g "$url")" = "$body" ] || fail "$url: not the worlds body"
done
[ "$(inside curl -s -w ' %{http_code}' http://127.0.0.1:8091/x)" = "<p>Invalid endpoint</p> 404" ] ||
  fail "another path: not the 404 page"
[ "$(inside curl -s --head -o /dev/null -w '%{size_download}' http://127.0.0.1:8091/api/v1/worlds)" = 0 ] ||
  fail "HEAD through the front has a body"
through_front=$(nsenter -t "$leader" -n node tests/system/head.js 8091 | tr '\n' ' ' || true)
[ "$through_front" = "status 200 ended cleanly " ] || fail "Node's HEAD through the front: $through_front"
# Straight from the server the body follows the header block of a HEAD answer, which Node's
# parser takes as a broken connection after the status.
direct=$(nsenter -t "$leader" -n node tests/system/head.js 9091 | tr '\n' ' ' || true)
[ "$direct" = "status 200 error HPE_CLOSED_CONNECTION " ] || fail "Node's HEAD straight to 9091: $direct"
# What the front answers itself, or passes on, where a direct answer differs: status, what for.
while IFS='|' read -r expected what; do
  case $what in
    "a body over 1 MiB") got=$(head -c 1100000 /dev/zero | inside curl -s -o /dev/null -w '%{http_code}' --data-binary @- http://127.0.0.1:8091/api/v1/worlds) ;;
    "a lower-case method") got=$(inside curl -s -o /dev/null -w '%{http_code}' -X get http://127.0.0.1:8091/api/v1/worlds) ;;
    "HTTP/1.1 without Host") got=$(inside curl -s -o /dev/null -w '%{http_code}' -H 'Host:' http://127.0.0.1:8091/api/v1/worlds) ;;
    "BREW, the server's page") got=$(inside curl -s -w ' %{http_code}' -X BREW http://127.0.0.1:8091/api/v1/worlds) ;;
  esac
  [ "$got" = "$expected" ] || fail "through the front, $what: $got, not $expected"
  echo "$what: $got"
done <<'CASES'
413|a body over 1 MiB
400|a lower-case method
400|HTTP/1.1 without Host
<p>Not implemented</p> 501|BREW, the server's page
CASES
echo "curl: the body byte for byte (IPv4 and IPv6), the 404 page, HEAD without a body; nginx -t passes"
echo "Node http HEAD through the front: $through_front; straight to 9091: $direct"

step "10 s of 8 clients through the front under a hostile mix (a reset mid-head every 300 ms, 10 silent clients)"
before=$(sum_nrestarts)
clients load 10 hostile front || fail "requests through the front were lost under the hostile mix"
[ "$(sum_nrestarts)" = "$before" ] || fail "the workers restarted under the front: NRestarts $before -> $(sum_nrestarts)"
echo "NRestarts did not move: $(nrestarts)"

step "10 s of 8 clients from 127.0.0.3 through the front while 127.0.0.2 holds 3,000 connections"
# nginx's own nginx.conf raised as the README says: more connection slots per worker, the
# descriptors for them, and the limit systemd gives nginx.
inside sed -i -e 's/^\([[:space:]]*\)worker_connections .*/\1worker_connections 16384;/' \
  -e '/^events/i worker_rlimit_nofile 20000;' /etc/nginx/nginx.conf
inside mkdir -p /etc/systemd/system/nginx.service.d
printf '[Service]\nLimitNOFILE=20000\n' | inside tee /etc/systemd/system/nginx.service.d/limits.conf > /dev/null
inside systemctl daemon-reload
inside nginx -t -q || fail "nginx -t fails with the raised settings"
inside systemctl restart nginx
clients load 10 front --from 127.0.0.3 --flood 3000 || fail "legitimate requests through the front were lost under the flood"

step "a crowd through the front: 8 clients from 127.0.0.3 meanwhile, refusals fast, never a 504 or a reset"
# What the others get while a crowd keeps N whole requests in flight: from one address, whose
# share (16) is all it gets, the rest a fast 429; from many (127.0.2.x), each within its share,
# past the server's queue a fast 503, which the others may get too.
while IFS='|' read -r what options; do
  echo "$what:"
  # shellcheck disable=SC2086
  clients load 10 front --from 127.0.0.3 $options || fail "$what: a request was lost or not refused fast"
done <<'CASES'
300 in flight from 127.0.0.2|--request-flood 300
a flash crowd of 300 addresses|--request-flood 300 --spread --tolerate 503
CASES

# What h2load's runs in LOG add up to: runs, 2xx, 4xx, 5xx, and requests errored or timed out.
h2load_totals() {
  awk '/^requests:/ {runs++; errored += $12; timeout += $14} /^status codes:/ {ok += $3; c4 += $7; c5 += $9}
    END {printf "%d %d %d %d %d", runs, ok, c4, c5, errored + timeout}' "$1"
}

step "the snippets behind TLS with HTTP/2 (Debian's snakeoil certificate): h2load's streams, testssl.sh"
inside test -f /etc/ssl/certs/ssl-cert-snakeoil.pem || inside make-ssl-cert generate-default-snakeoil
# nginx takes HTTP/2 as a directive of its own from 1.25.1 on, and as a listen parameter before.
nginx_version=$(inside nginx -v 2>&1 | sed -n 's|^nginx version: nginx/||p')
if dpkg --compare-versions "$nginx_version" ge 1.25.1; then listen='8443 ssl; http2 on'; else listen='8443 ssl http2'; fi
inside tee /etc/nginx/sites-enabled/worlds-server-tls > /dev/null <<NGINX
server {
    listen $listen;
    ssl_certificate /etc/ssl/certs/ssl-cert-snakeoil.pem;
    ssl_certificate_key /etc/ssl/private/ssl-cert-snakeoil.key;
    include snippets/worlds-server-tls.conf;
    location / {
        include snippets/worlds-server.conf;
    }
}
NGINX
inside nginx -t -q || fail "nginx -t fails with the TLS server"
inside systemctl reload nginx
name=$(inside openssl x509 -noout -subject -nameopt multiline -in /etc/ssl/certs/ssl-cert-snakeoil.pem |
  sed -n 's/^ *commonName *= //p')
for _ in $(seq 50); do
  tls=$(inside curl -s --http2 --cacert /etc/ssl/certs/ssl-cert-snakeoil.pem --resolve "$name:8443:127.0.0.1" \
    -D /tmp/tls-head -w '\n%{http_version}' "https://$name:8443/api/v1/worlds") && break
  sleep 0.1
done
[ "$tls" = "$body"$'\n'2 ] || fail "HTTPS with HTTP/2: $tls"
tls_head=$(inside cat /tmp/tls-head | tr -d '\r')
grep -qx 'strict-transport-security: max-age=63072000' <<<"$tls_head" || fail "no HSTS: $tls_head"
grep -qx 'server: nginx' <<<"$tls_head" || fail "the answer names nginx's version: $tls_head"
echo "curl --http2 over TLS to $name:8443: the body byte for byte, HTTP/2, HSTS, Server: nginx"

# One address (127.0.0.1) keeps 2 connections x 128 streams busy with h2load, run after run
# for 10 s (nginx ends an HTTP/2 connection after 1,000 requests, and h2load does not open
# another), while the 8 clients from 127.0.0.3 lose nothing; h2load gets 200s and 429s only.
nsenter -t "$leader" -n bash -c 'end=$((SECONDS + 10)); for _ in $(seq 1000); do [ $SECONDS -lt $end ] || break
  timeout 30 h2load -n 1000 -c 2 -m 128 https://127.0.0.1:8443/api/v1/worlds; done' > build/system/h2load.log 2>&1 &
h2load=$!
clients load 10 front --from 127.0.0.3 || fail "requests from 127.0.0.3 were lost while h2load ran"
wait "$h2load" || { tail -n 20 build/system/h2load.log; fail "h2load failed"; }
h2=$(h2load_totals build/system/h2load.log)
read -r runs ok c4 c5 broken <<<"$h2"
echo "h2load: $runs runs of 2 connections x 128 streams: $ok 2xx, $c4 4xx, $c5 5xx, $broken errored or timed out"
[ "$runs" -gt 0 ] && [ "$ok" -gt 0 ] && [ "$c5" = 0 ] && [ "$broken" = 0 ] || fail "h2load: $h2"

# testssl.sh's verdict: only the "intermediate" suites (the TLS 1.3 ones and the ECDHE ones the
# RSA certificate can use), HSTS, and nothing rated MEDIUM or worse but its cipher_order, which
# testssl.sh 3.0 rates HIGH whenever the client picks, as the profile wants.
rm -f build/system/testssl.json
nsenter -t "$leader" -n testssl --quiet --color 0 --warnings off --jsonfile build/system/testssl.json \
  -p -P -E -U -h 127.0.0.1:8443 > build/system/testssl.log 2>&1 || true
python3 - build/system/testssl.json <<'PY' || fail "testssl.sh: $(tail -n 20 build/system/testssl.log)"
import json, sys
findings = json.load(open(sys.argv[1]))
intermediate = {"TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384", "TLS_CHACHA20_POLY1305_SHA256",
                "ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-RSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES256-GCM-SHA384",
                "ECDHE-RSA-AES256-GCM-SHA384", "ECDHE-ECDSA-CHACHA20-POLY1305", "ECDHE-RSA-CHACHA20-POLY1305",
                "DHE-RSA-AES128-GCM-SHA256", "DHE-RSA-AES256-GCM-SHA384", "DHE-RSA-CHACHA20-POLY1305"}
suites = {f["finding"].split()[3] for f in findings if f["id"].startswith("cipher-tls")}
protocols = {f["id"]: f["finding"] for f in findings if f["id"] in ("SSLv2", "SSLv3", "TLS1", "TLS1_1", "TLS1_2", "TLS1_3")}
bad = [f'{f["id"]} {f["severity"]}: {f["finding"]}' for f in findings
       if f["severity"] in ("MEDIUM", "HIGH", "CRITICAL") and f["id"] != "cipher_order"]
hsts = next((f["finding"] for f in findings if f["id"] == "HSTS_time"), "none")
print(f"testssl.sh: {len(suites)} suites ({', '.join(sorted(suites))}); "
      f"{', '.join(f'{k} {v}' for k, v in protocols.items())}; HSTS {hsts}; "
      f"{len(findings)} findings, none MEDIUM or worse but cipher_order")
assert suites and suites <= intermediate, f"suites outside the profile: {suites - intermediate}"
assert [p for p, v in protocols.items() if v.startswith("offered")] == ["TLS1_2", "TLS1_3"], protocols
assert hsts.startswith("730 days"), hsts
assert not bad, bad
PY
inside rm /etc/nginx/sites-enabled/worlds-server-tls
inside systemctl reload nginx

step "worlds-server-metrics scraped by Prometheus: after a known load, PromQL answers the load's counts"
inside dpkg -i "/root/$(basename "$metrics_deb")" > build/system/dpkg.log 2>&1 || { cat build/system/dpkg.log; fail "dpkg -i worlds-server-metrics"; }
# Listening on 127.0.0.1:9193 (0100007F:23E9 in /proc/net/tcp) and on no other address.
for _ in $(seq 100); do
  listening=$(inside awk '$4 == "0A" && $2 ~ /:23E9$/ {print $2}' /proc/net/tcp /proc/net/tcp6 | tr '\n' ' ')
  [ -n "$listening" ] && break
  sleep 0.1
done
inside systemctl is-active --quiet worlds-server-metrics ||
  fail "worlds-server-metrics is not active: $(inside journalctl -u worlds-server-metrics -n 20 --no-pager)"
[ "$listening" = "0100007F:23E9 " ] ||
  fail "worlds-server-metrics listens on '$listening', not 127.0.0.1:9193 alone: $(inside journalctl -u worlds-server-metrics -n 20 --no-pager)"
inside tee /etc/prometheus/prometheus.yml > /dev/null <<'YAML'
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - /usr/share/worlds-server-metrics/worlds-server.rules.yml
scrape_configs:
  - job_name: worlds
    static_configs:
      - targets: ['127.0.0.1:9193']
YAML
inside systemctl restart prometheus
promql() {  # QUERY: the value of its one result, 0 when it has none
  inside curl -s --data-urlencode "query=$1" http://127.0.0.1:9090/api/v1/query |
    python3 -c 'import json, sys; r = json.load(sys.stdin)["data"]["result"]; print(int(float(r[0]["value"][1])) if r else 0)'
}
for _ in $(seq 150); do [ "$(promql 'up{job="worlds"}' 2>/dev/null)" = 1 ] && break; sleep 0.2; done
[ "$(promql 'up{job="worlds"}')" = 1 ] || fail "Prometheus does not scrape worlds-server-metrics"
counts() {  # the series of the load: 200, 404 and 429 answers through the front, worker exits
  echo "$(promql 'sum(worlds_front_requests_total{code="200"})') $(promql 'sum(worlds_front_requests_total{code="404"})')" \
    "$(promql 'sum(worlds_front_requests_total{code="429"})') $(promql 'sum(worlds_worker_exits_total)')"
}
settled() {  # waits until two scrapes 1.5 s apart agree, and prints their counts
  local last= now
  for _ in $(seq 40); do now=$(counts); [ "$now" = "$last" ] && { echo "$now"; return; }; last=$now; sleep 1.5; done
  fail "the series did not settle: $now"
}
read -r ok_before missing_before refused_before exits_before <<<"$(settled)"
cursor=$(inside journalctl -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p')
# The load: N answered GETs, M requests for another path, K workers ended by a reset mid-head,
# and a crowd of 40 in flight from one address, past its share of 16.
n=300 m=20 k=3
inside bash -c "for i in \$(seq $n); do curl -s -o /dev/null http://127.0.0.1:8091/api/v1/worlds; done"
inside bash -c "for i in \$(seq $m); do curl -s -o /dev/null http://127.0.0.1:8091/x; done"
clients restarts $k > /dev/null
nsenter -t "$leader" -n h2load --h1 -n 3000 -c 40 http://127.0.0.1:8091/api/v1/worlds > build/system/crowd.log 2>&1 ||
  { cat build/system/crowd.log; fail "h2load's crowd"; }
read -r _ crowd_ok crowd_refused crowd_5xx _ <<<"$(h2load_totals build/system/crowd.log)"
[ "$crowd_5xx" = 0 ] && [ "$crowd_refused" -gt 0 ] || fail "the crowd: $(grep '^status codes' build/system/crowd.log)"
# A worker's exit is its journal's "error:" line: at least the K resets.
exits=$(inside journalctl -u 'worlds-server@*' -o cat --no-pager --after-cursor="$cursor" | grep -c '^error: ' || true)
[ "$exits" -ge $k ] || fail "$exits workers' exits in the journal for $k resets"
read -r ok missing refused worker_exits <<<"$(settled)"
printf '%-44s %8s %8s\n' "PromQL (increase over the load)" "answer" "the load" \
  'sum(worlds_front_requests_total{code="200"})' $((ok - ok_before)) $((n + crowd_ok)) \
  'sum(worlds_front_requests_total{code="404"})' $((missing - missing_before)) $m \
  'sum(worlds_front_requests_total{code="429"})' $((refused - refused_before)) "$crowd_refused" \
  'sum(worlds_worker_exits_total)' $((worker_exits - exits_before)) "$exits"
[ $((ok - ok_before)) = $((n + crowd_ok)) ] && [ $((missing - missing_before)) = $m ] &&
  [ $((refused - refused_before)) = "$crowd_refused" ] && [ $((worker_exits - exits_before)) = "$exits" ] ||
  fail "PromQL's answers differ from the load's counts"
rules=$(inside curl -s http://127.0.0.1:9090/api/v1/rules | python3 -c 'import json, sys; print(" ".join(sorted(r["name"] for g in json.load(sys.stdin)["data"]["groups"] for r in g["rules"] if r["type"] == "alerting")))')
[ "$rules" = "WorldsFrontErrors WorldsFrontRefusing WorldsFrontSlow WorldsWorkersExiting" ] || fail "the alerts Prometheus loaded: $rules"
echo "Prometheus loaded the alerts: $rules"

step "a GET whose connection is reset before an answer is tried once more, a POST is not"
inside systemctl stop worlds-server.socket "${workers[@]}"
nsenter -t "$leader" -n python3 tests/system/clients.py flaky 3 > build/system/flaky.log 2>&1 &
flaky=$!
for _ in $(seq 100); do grep -q '^listening' build/system/flaky.log && break; sleep 0.1; done
grep -q '^listening' build/system/flaky.log || { cat build/system/flaky.log; fail "the stand-in never listened"; }
get=$(inside curl -s -w ' %{http_code}' http://127.0.0.1:8091/api/v1/worlds)
post=$(inside curl -s -o /dev/null -w '%{http_code}' -d x=1 http://127.0.0.1:8091/api/v1/worlds)
wait "$flaky" || { cat build/system/flaky.log; fail "the flaky server"; }
cat build/system/flaky.log
[ "$get" = "$body 200" ] || fail "the GET was not tried again: $get"
[ "$post" = 502 ] || fail "the POST was not answered 502 after one try: $post"
inside systemctl start worlds-server.socket "${workers[@]}"
answers_exactly
echo "GET: 200 with the body on its second try; POST: 502 after its one try"

step "systemctl stop of the workers ends them with no error line"
cursor=$(inside journalctl -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p')
inside systemctl stop "${workers[@]}"
for w in "${workers[@]}"; do
  [ "$(inside systemctl is-active "$w" || true)" = inactive ] || fail "$w is not inactive after stop"
  [ "$(inside systemctl show -p Result --value "$w")" = success ] || fail "$w: stop did not end in success"
done
after=$(inside journalctl -u 'worlds-server@*' -o cat --no-pager --after-cursor="$cursor")
! grep -q '^error' <<<"$after" || fail "an error line after stop: $after"
echo "stopped; the workers' journal after stop:"
echo "$after"

step "dpkg -r stops everything and disables the site; dpkg --purge leaves no unit enabled"
inside systemctl start "${workers[@]}"
inside dpkg -r worlds-server-metrics worlds-server-nginx worlds-server > build/system/dpkg.log 2>&1 || { cat build/system/dpkg.log; fail "dpkg -r"; }
! inside test -e /etc/nginx/conf.d/worlds-server-metrics.conf || fail "the metrics log is still nginx's after dpkg -r"
! inside test -e /etc/nginx/sites-enabled/worlds-server || fail "the site is still enabled after dpkg -r"
inside systemctl is-active --quiet nginx || fail "nginx is not running after the front's removal"
inside nginx -t -q || fail "nginx -t fails after the front's removal"
running=$(inside systemctl list-units --plain --no-legend --state=active 'worlds-server*' || true)
[ -z "$running" ] || fail "still running after dpkg -r: $running"
inside dpkg --purge worlds-server-metrics worlds-server-nginx worlds-server > build/system/dpkg.log 2>&1 ||
  { cat build/system/dpkg.log; fail "dpkg --purge"; }
links=$(inside find /etc/systemd/system -name 'worlds-server*' || true)
[ -z "$links" ] || fail "left after purge: $links"
echo "nothing runs after dpkg -r, the site is disabled and nginx still runs; nothing is left in /etc/systemd/system after dpkg --purge"
echo "PASS"
