#!/usr/bin/env bash
# system.Front, in the root that system.Boot booted: worlds-server-nginx installed over a broken
# nginx configuration (refused) and once nginx -t passes, then its answers (IPv4 and IPv6, the
# 404 page, HEAD with curl and Node, what the front answers itself), clients under a hostile mix,
# a connection flood and crowds (abandoning ones among them), a GET tried once more where a POST
# is not, and a configuration that cannot reload nginx said on the terminal.
set -euo pipefail
# shellcheck source=tests/lib/system.sh
source "$(dirname "$0")/../lib/system.sh"
ensure_server
front=/root/$(basename "$front_deb")

step "dpkg -i of worlds-server-nginx over a broken nginx configuration fails and leaves the site disabled"
echo 'this is not nginx;' | inside tee /etc/nginx/conf.d/broken.conf > /dev/null
if inside dpkg -i "$front" > build/system/dpkg.log 2>&1; then
  fail "dpkg -i worlds-server-nginx succeeded with a configuration nginx -t refuses"
fi
! inside test -e /etc/nginx/sites-enabled/worlds-server || fail "the site stayed enabled after nginx -t failed"
inside systemctl is-active --quiet nginx || fail "nginx stopped when the installation failed"
inside rm /etc/nginx/conf.d/broken.conf
echo "the installation failed, the site is not enabled, nginx still runs"

step "dpkg --configure of worlds-server-nginx once nginx -t passes: the front on port 8091"
dpkg_inside "dpkg --configure worlds-server-nginx" --configure worlds-server-nginx
inside test -L /etc/nginx/sites-enabled/worlds-server || fail "the site is not enabled"
inside nginx -t -q || fail "nginx -t fails"
for url in http://127.0.0.1:8091/api/v1/worlds 'http://[::1]:8091/api/v1/worlds'; do
  [ "$(inside curl -s -g "$url")" = "$body" ] || fail "$url: not the worlds body"
done
[ "$(inside curl -s -w ' %{http_code}' http://127.0.0.1:8091/x)" = "<p>Invalid endpoint</p> 404" ] ||
  fail "another path: not the 404 page"
[ "$(inside curl -s --head -o /dev/null -w '%{size_download}' http://127.0.0.1:8091/api/v1/worlds)" = 0 ] ||
  fail "HEAD through the front has a body"
through_front=$(nsenter -t "$leader" -n node tests/lib/head.js 8091 | tr '\n' ' ' || true)
[ "$through_front" = "status 200 ended cleanly " ] || fail "Node's HEAD through the front: $through_front"
# Straight from the server the body follows the header block of a HEAD answer, which Node's
# parser takes as a broken connection after the status.
direct=$(nsenter -t "$leader" -n node tests/lib/head.js 9091 | tr '\n' ' ' || true)
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
if ! inside grep -q '^worker_rlimit_nofile' /etc/nginx/nginx.conf; then
  inside sed -i -e 's/^\([[:space:]]*\)worker_connections .*/\1worker_connections 16384;/' \
    -e '/^events/i worker_rlimit_nofile 20000;' /etc/nginx/nginx.conf
fi
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
128 clients from 127.0.0.2 that send and close or reset within 5 ms|--request-flood 128 --abandon
CASES

step "a GET whose connection is reset before an answer is tried once more, a POST is not"
inside systemctl stop worlds-server.socket "${workers[@]}"
nsenter -t "$leader" -n python3 tests/lib/clients.py flaky 3 > build/system/flaky.log 2>&1 &
flaky=$!
for _ in $(seq 100); do grep -q '^listening' build/system/flaky.log && break; sleep 0.1; done
grep -q '^listening' build/system/flaky.log || { cat build/system/flaky.log; fail "the stand-in never listened"; }
get=$(inside curl -s -w ' %{http_code}' http://127.0.0.1:8091/api/v1/worlds)
post=$(inside curl -s -o /dev/null -w '%{http_code}' -d x=1 http://127.0.0.1:8091/api/v1/worlds)
wait "$flaky" || { cat build/system/flaky.log; fail "the flaky server"; }
cat build/system/flaky.log
inside systemctl start worlds-server.socket "${workers[@]}"
[ "$get" = "$body 200" ] || fail "the GET was not tried again: $get"
[ "$post" = 502 ] || fail "the POST was not answered 502 after one try: $post"
answers_exactly
echo "GET: 200 with the body on its second try; POST: 502 after its one try"

step "dpkg -i of worlds-server-nginx where nginx cannot be reloaded: installed, and said so"
# nginx stopped; and services refused, as in a root with no init (policy-rc.d says no).
while IFS='|' read -r what before after; do
  inside sh -c "$before"
  dpkg_inside "dpkg -i worlds-server-nginx with $what" -i "$front"
  inside sh -c "$after"
  grep 'worlds-server-nginx: nginx was not reloaded' build/system/dpkg.log ||
    fail "with $what the postinst did not say that nginx was not reloaded: $(cat build/system/dpkg.log)"
done <<'CASES'
nginx stopped|systemctl stop nginx|systemctl start nginx
services refused|printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d; chmod 755 /usr/sbin/policy-rc.d|rm /usr/sbin/policy-rc.d
CASES
echo PASS
