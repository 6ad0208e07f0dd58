#!/bin/sh
# Puts the front's nginx configuration into the Debian root at $1: an mmdebstrap customize
# hook, run from the top of the source tree. The site is enabled and Debian's default site
# removed, so nginx serves the worlds front on 8091 and nothing else.
set -eu
root=$1
install -m 644 deploy/images/front/nginx.conf "$root/etc/nginx/nginx.conf"
install -m 644 packaging/nginx/conf.d/worlds-server.conf "$root/etc/nginx/conf.d/worlds-server.conf"
# The metrics log of worlds-server-metrics, sent over syslog to the pod's metrics sidecar on
# 127.0.0.1:9199 in place of a file: no volume to share and none that grows. A syslog message
# has no line end of its own, and mtail reads lines: the format gets one.
sed -e 's|^access_log /var/log/nginx/worlds-server-metrics.log |access_log syslog:server=127.0.0.1:9199,nohostname,tag=worlds |' \
  -e "s|\$upstream_response_time';\$|\$upstream_response_time\\\\n';|" \
  packaging/metrics/nginx.conf > "$root/etc/nginx/conf.d/worlds-server-metrics.conf"
grep -q '^access_log syslog:server=127.0.0.1:9199,' "$root/etc/nginx/conf.d/worlds-server-metrics.conf"
grep -qF "\$upstream_response_time\\n';" "$root/etc/nginx/conf.d/worlds-server-metrics.conf"
# Who a client is, for its share: in a pod, nobody by address (the file says why).
install -m 644 deploy/images/front/worlds-server-client.conf "$root/etc/nginx/conf.d/worlds-server-client.conf"
install -m 644 packaging/nginx/snippets/worlds-server.conf "$root/etc/nginx/snippets/worlds-server.conf"
install -m 644 packaging/nginx/sites-available/worlds-server "$root/etc/nginx/sites-available/worlds-server"
rm -f "$root/etc/nginx/sites-enabled/default"
ln -s ../sites-available/worlds-server "$root/etc/nginx/sites-enabled/worlds-server"
# Nothing of the package manager's state: the image is never upgraded in place.
rm -rf "$root"/var/lib/apt/lists/* "$root"/var/cache/apt/* "$root"/var/cache/debconf/*-old \
  "$root"/var/log/nginx
