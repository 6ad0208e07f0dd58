#!/usr/bin/env bash
# system.Tls, in the root that system.Boot booted: the front's snippets behind TLS with HTTP/2
# (Debian's snakeoil certificate), as docs/operating.md shows the server: the answer over
# HTTP/2 with HSTS, h2load's streams from one address beside 8 clients that lose nothing, and
# testssl.sh's verdict.
set -euo pipefail
# shellcheck source=tests/lib/system.sh
source "$(dirname "$0")/../lib/system.sh"
ensure_front

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
trap 'inside rm -f /etc/nginx/sites-enabled/worlds-server-tls; inside systemctl reload nginx' EXIT
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

rm -f build/system/testssl.json
nsenter -t "$leader" -n testssl --quiet --color 0 --warnings off --jsonfile build/system/testssl.json \
  -p -P -E -U -h 127.0.0.1:8443 > build/system/testssl.log 2>&1 || true
python3 tests/lib/testssl_verdict.py build/system/testssl.json || fail "testssl.sh: $(tail -n 20 build/system/testssl.log)"
echo PASS
