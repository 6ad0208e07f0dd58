#!/usr/bin/env bash
# system.Lifecycle, in the root that system.Boot booted, last: the packages removed with dpkg -r
# (nothing of them runs or listens, the site is disabled, nginx still runs and passes nginx -t,
# a server of the admin's that includes the snippet is named), then purged (named again; once
# the admin's include is out nginx restarts, and nothing of theirs is left).
set -euo pipefail
# shellcheck source=tests/lib/system.sh
source "$(dirname "$0")/../lib/system.sh"
ensure_front
installed worlds-server-metrics || dpkg_inside "dpkg -i worlds-server-metrics" -i "/root/$(basename "$metrics_deb")"

# What listens on TCP inside: the ports of its listening sockets, in hex as /proc/net has them.
listeners() { inside awk '$4 == "0A" {split($2, a, ":"); print a[2]}' /proc/net/tcp /proc/net/tcp6 | sort -u | tr '\n' ' '; }
ours() { listeners | grep -Eo '1F9B|1F9C|23E9' | tr '\n' ' ' || true; }  # 8091, 8092, 9193
[ -n "$(ours)" ] || fail "nothing of the packages listens before their removal: $(listeners)"
# A server of the admin's that includes the front's snippet, as docs/operating.md shows.
inside tee /etc/nginx/sites-enabled/admin-worlds > /dev/null <<'NGINX'
server {
    listen 127.0.0.1:8095;
    location / {
        include snippets/worlds-server.conf;
    }
}
NGINX
inside systemctl reload nginx

step "dpkg -r: nothing of the packages runs or listens, nginx runs, and the admin's include is named"
dpkg_inside "dpkg -r" -r worlds-server-metrics worlds-server-nginx worlds-server
grep -q 'WARNING: /etc/nginx/sites-enabled/admin-worlds includes snippets/worlds-server' build/system/dpkg.log ||
  fail "dpkg -r did not name the admin's server that includes the snippet: $(cat build/system/dpkg.log)"
! inside test -e /etc/nginx/conf.d/worlds-server-metrics.conf || fail "the metrics log is still nginx's after dpkg -r"
! inside test -e /etc/nginx/sites-enabled/worlds-server || fail "the site is still enabled after dpkg -r"
inside systemctl is-active --quiet nginx || fail "nginx is not running after the front's removal"
inside nginx -t -q || fail "nginx -t fails after the front's removal"
running=$(inside systemctl list-units --plain --no-legend --state=active 'worlds-server*' || true)
[ -z "$running" ] || fail "still running after dpkg -r: $running"
[ -z "$(ours)" ] || fail "still listening after dpkg -r: ports $(ours)"
echo "after dpkg -r: listening on ports (hex) $(listeners)- none of 8091, 8092, 9193"

step "dpkg --purge: the admin's include named again; once it is out, nginx restarts with nothing of ours"
dpkg_inside "dpkg --purge" --purge worlds-server-metrics worlds-server-nginx worlds-server
grep -q 'WARNING: /etc/nginx/sites-enabled/admin-worlds includes snippets/worlds-server' build/system/dpkg.log ||
  fail "dpkg --purge did not name the admin's server that includes the snippet: $(cat build/system/dpkg.log)"
inside rm /etc/nginx/sites-enabled/admin-worlds
inside systemctl restart nginx || fail "nginx does not restart after the purge: $(inside journalctl -u nginx -n 10 --no-pager)"
[ -z "$(ours)" ] || fail "still listening after dpkg --purge: ports $(ours)"
left=$(inside find /etc/systemd/system /etc/nginx /var/log/nginx -name '*worlds*' || true)
[ -z "$left" ] || fail "left after purge: $left"
echo "after dpkg --purge and nginx's restart: listening on ports (hex) $(listeners); nothing named worlds in /etc/systemd/system, /etc/nginx or /var/log/nginx"
echo PASS
