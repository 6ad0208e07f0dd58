#!/usr/bin/env bash
# system.Lifecycle, in the root that system.Boot booted, last: the three packages removed with
# dpkg -r (nothing of them runs, the site is disabled, nginx still runs and passes nginx -t),
# then purged (no unit of theirs left enabled).
set -euo pipefail
# shellcheck source=tests/lib/system.sh
source "$(dirname "$0")/../lib/system.sh"
ensure_front
installed worlds-server-metrics || dpkg_inside "dpkg -i worlds-server-metrics" -i "/root/$(basename "$metrics_deb")"

step "dpkg -r stops everything and disables the site; dpkg --purge leaves no unit enabled"
dpkg_inside "dpkg -r" -r worlds-server-metrics worlds-server-nginx worlds-server
! inside test -e /etc/nginx/conf.d/worlds-server-metrics.conf || fail "the metrics log is still nginx's after dpkg -r"
! inside test -e /etc/nginx/sites-enabled/worlds-server || fail "the site is still enabled after dpkg -r"
inside systemctl is-active --quiet nginx || fail "nginx is not running after the front's removal"
inside nginx -t -q || fail "nginx -t fails after the front's removal"
running=$(inside systemctl list-units --plain --no-legend --state=active 'worlds-server*' || true)
[ -z "$running" ] || fail "still running after dpkg -r: $running"
dpkg_inside "dpkg --purge" --purge worlds-server-metrics worlds-server-nginx worlds-server
links=$(inside find /etc/systemd/system -name 'worlds-server*' || true)
[ -z "$links" ] || fail "left after purge: $links"
echo "nothing runs after dpkg -r, the site is disabled and nginx still runs; nothing is left in /etc/systemd/system after dpkg --purge"
echo PASS
